// vaultfileopt.dll: digests for the agent. Only Application_BufferSha1 is
// implemented; the other names the module's loader resolves are present and
// answer "not supported". Exported with C linkage; std::string crosses the
// boundary, which assumes one toolchain and C runtime on both sides.
#include <string>
#include "agent/vaultcommon/AgentCodes.h"
#include "agent/vaultfileopt/Sha1.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"
#include "common/helper/VaultFileOpt/vaultfileoptApi.h"

// SHA-1 of the text as 40 lower-case hexadecimal digits. The option is not
// used.
DM_EXPORT eRet Application_BufferSha1(const std::string& strInput, std::string& strDigest, DWORD dwOption) {
  try {
    uint8_t digest[20];
    if (!vaultfileopt::Sha1(strInput, digest)) return VAULT_RET_FAILURE;
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(40);
    for (uint8_t byte : digest) {
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
    strDigest = text;
    return RET_SUCCESS;
  } catch (...) {
    return VAULT_RET_FAILURE;
  }
}

#define VAULTFILEOPT_STUB(name) \
  DM_EXPORT eRet name() { return VAULT_RET_NOT_SUPPORTED; }

VAULTFILEOPT_STUB(Application_IsEncBuffer)
VAULTFILEOPT_STUB(Application_IsEncFile)
VAULTFILEOPT_STUB(Application_GetEncLevelKeyByLevelId)
VAULTFILEOPT_STUB(Application_EncryptBuffer)
VAULTFILEOPT_STUB(Application_DecryptBuffer)
VAULTFILEOPT_STUB(Application_EncryptFile)
VAULTFILEOPT_STUB(Application_DecryptFile)
VAULTFILEOPT_STUB(Application_BufferDigest)
VAULTFILEOPT_STUB(Application_FileDigest)
VAULTFILEOPT_STUB(Application_SetHeadInfo_ByType)
VAULTFILEOPT_STUB(Application_CreatHeadInfo)
VAULTFILEOPT_STUB(Application_GetEncFileHeadInfo)
VAULTFILEOPT_STUB(Application_SetEncFileHeadInfo)
VAULTFILEOPT_STUB(Application_GetFileEncLevelId)
VAULTFILEOPT_STUB(Application_GetBufferEncLevelId)
VAULTFILEOPT_STUB(Application_GetEncLevelNameById)
VAULTFILEOPT_STUB(Application_GetPermissionByLevelId)
VAULTFILEOPT_STUB(Application_GetPermissionByEncFileHead)
VAULTFILEOPT_STUB(Application_GetFilePermission)
VAULTFILEOPT_STUB(Application_BufferDigestString)
VAULTFILEOPT_STUB(Application_BufferMd5)
VAULTFILEOPT_STUB(Application_FileDigestString)
VAULTFILEOPT_STUB(Application_FileSha1)
VAULTFILEOPT_STUB(Application_FileMd5)
VAULTFILEOPT_STUB(Application_GetEncTypeDesc)
VAULTFILEOPT_STUB(Application_GetEncType)
VAULTFILEOPT_STUB(Application_SetPermissionForFile)
VAULTFILEOPT_STUB(Application_EncDecData_ByRSA)
VAULTFILEOPT_STUB(Application_GetEncKeyFromBuffer)
VAULTFILEOPT_STUB(Document_Open)
VAULTFILEOPT_STUB(Application_Symmetric_Array)

// The module calls through these exact types.
VAULT_SAME_SIGNATURE(Application_BufferSha1);
