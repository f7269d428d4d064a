#include "common/helper/VaultFileOpt/vaultfileopthelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultFileOpt/vaultfileoptApi.h"

// Every name the library is asked for, in resolution order.
#define VAULTFILEOPT_EXPORTS(X)                                                                                        \
  X(Application_IsEncBuffer)                                                                                           \
  X(Application_IsEncFile) X(Application_GetEncLevelKeyByLevelId) X(Application_EncryptBuffer)                         \
      X(Application_DecryptBuffer) X(Application_EncryptFile) X(Application_DecryptFile) X(Application_BufferDigest)   \
          X(Application_FileDigest) X(Application_SetHeadInfo_ByType) X(Application_CreatHeadInfo)                     \
              X(Application_GetEncFileHeadInfo) X(Application_SetEncFileHeadInfo) X(Application_GetFileEncLevelId)     \
                  X(Application_GetBufferEncLevelId) X(Application_GetEncLevelNameById)                                \
                      X(Application_GetPermissionByLevelId) X(Application_GetPermissionByEncFileHead)                  \
                          X(Application_GetFilePermission) X(Application_BufferDigestString) X(Application_BufferSha1) \
                              X(Application_BufferMd5) X(Application_FileDigestString) X(Application_FileSha1)         \
                                  X(Application_FileMd5) X(Application_GetEncTypeDesc) X(Application_GetEncType)       \
                                      X(Application_SetPermissionForFile) X(Application_EncDecData_ByRSA)              \
                                          X(Application_GetEncKeyFromBuffer) X(Document_Open)                          \
                                              X(Application_Symmetric_Array)
DLL_ADAPTER(VAULTFILEOPT_EXPORTS, "vaultfileopt.dll", vaultfileopthelper);

eRet Application_BufferSha1(const std::string& strInput, std::string& strDigest, DWORD dwOption) {
  return DllCall<PFN_Application_BufferSha1>(vaultfileopthelper::Dll_Init_Check_Function,
                                             g_slots[kApplication_BufferSha1], strInput, strDigest, dwOption);
}
