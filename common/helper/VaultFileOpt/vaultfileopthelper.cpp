#include "common/helper/VaultFileOpt/vaultfileopthelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultFileOpt/vaultfileoptApi.h"

namespace {

enum { kApplication_BufferSha1 = 20, kNameCount = 32 };

const char* const g_names[kNameCount] = {"Application_IsEncBuffer",
                                         "Application_IsEncFile",
                                         "Application_GetEncLevelKeyByLevelId",
                                         "Application_EncryptBuffer",
                                         "Application_DecryptBuffer",
                                         "Application_EncryptFile",
                                         "Application_DecryptFile",
                                         "Application_BufferDigest",
                                         "Application_FileDigest",
                                         "Application_SetHeadInfo_ByType",
                                         "Application_CreatHeadInfo",
                                         "Application_GetEncFileHeadInfo",
                                         "Application_SetEncFileHeadInfo",
                                         "Application_GetFileEncLevelId",
                                         "Application_GetBufferEncLevelId",
                                         "Application_GetEncLevelNameById",
                                         "Application_GetPermissionByLevelId",
                                         "Application_GetPermissionByEncFileHead",
                                         "Application_GetFilePermission",
                                         "Application_BufferDigestString",
                                         "Application_BufferSha1",
                                         "Application_BufferMd5",
                                         "Application_FileDigestString",
                                         "Application_FileSha1",
                                         "Application_FileMd5",
                                         "Application_GetEncTypeDesc",
                                         "Application_GetEncType",
                                         "Application_SetPermissionForFile",
                                         "Application_EncDecData_ByRSA",
                                         "Application_GetEncKeyFromBuffer",
                                         "Document_Open",
                                         "Application_Symmetric_Array"};

std::atomic<void*> g_slots[kNameCount];
std::atomic<HMODULE> g_module{nullptr};
const DllLibrary g_library = {"vaultfileopt.dll", g_names, g_slots, kNameCount, &g_module, DLL_LOAD_ERROR_SINK};

}  // namespace

namespace vaultfileopthelper {
eRet Dll_Init_Check_Function(void* slot) {
  return DllInitCheckFunction(g_library, static_cast<std::atomic<void*>*>(slot));
}
}  // namespace vaultfileopthelper

eRet Application_BufferSha1(const std::string& strInput, std::string& strDigest, DWORD dwOption) {
  return DllCall<PFN_Application_BufferSha1>(vaultfileopthelper::Dll_Init_Check_Function,
                                             g_slots[kApplication_BufferSha1], strInput, strDigest, dwOption);
}
