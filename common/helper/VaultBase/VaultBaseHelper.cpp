#include "common/helper/VaultBase/VaultBaseHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultBase/VaultBaseApi.h"

namespace {

enum {
  kLocalRealtimeOpt,
  kLocalRealtimeOptEx,
  kMem_Init_All,
  kMem_GetContent,
  kMem_Get_ResOptAccess,
  kMem_Release_ResOptAccess,
  kGetLocalUserSessionId,
  kDriverOptHelper,
  kDeviceIoControlHelper,
  kHttpRequest,
  kHttpFileDownload,
  kHttpFileUpload,
  kConfig_SetString_Remote,
  kMakeFakeCert,
  kFreeFakeCert,
  kImportCert,
  kP2PFileDownload,
  kNameCount
};

const char* const g_names[kNameCount] = {
    "LocalRealtimeOpt", "LocalRealtimeOptEx", "Mem_Init_All",        "Mem_GetContent",
    "Mem_Get_ResOptAccess", "Mem_Release_ResOptAccess", "GetLocalUserSessionId", "DriverOptHelper",
    "DeviceIoControlHelper", "HttpRequest", "HttpFileDownload",    "HttpFileUpload",
    "Config_SetString_Remote", "MakeFakeCert", "FreeFakeCert",      "ImportCert",
    "P2PFileDownload"};

std::atomic<void*> g_slots[kNameCount];
std::atomic<HMODULE> g_module{nullptr};
const DllLibrary g_library = {"vaultbase.dll", g_names, g_slots, kNameCount, &g_module, DLL_LOAD_ERROR_SINK};

// Answered when the library has no content to give: a zero word, or a
// record and texts that read as empty (the session record is read up to
// its SID at byte 72).
const std::atomic<DWORD> g_defaultConfigValue{0};
const char g_defaultSessionUser[512] = {};
const char g_defaultClientGuid[64] = {};
const char g_defaultServerIp[64] = {};

const void* GetContentOr(DWORD dwKind, DWORD dwIndex, const void* pDefault) {
  void* pContent = const_cast<void*>(pDefault);
  if (Mem_GetContent(dwKind, dwIndex, &pContent) != RET_SUCCESS || pContent == nullptr) return pDefault;
  return pContent;
}

}  // namespace

namespace VaultBaseHelper {
eRet Dll_Init_Check_Function(void* slot) {
  return DllInitCheckFunction(g_library, static_cast<std::atomic<void*>*>(slot));
}
}  // namespace VaultBaseHelper

DWORD GetLocalUserSessionId() {
  return static_cast<DWORD>(
      DllCall<PFN_GetLocalUserSessionId>(VaultBaseHelper::Dll_Init_Check_Function, g_slots[kGetLocalUserSessionId]));
}

eRet Mem_GetContent(DWORD dwKind, DWORD dwIndex, void** ppContent) {
  return DllCall<PFN_Mem_GetContent>(VaultBaseHelper::Dll_Init_Check_Function, g_slots[kMem_GetContent], dwKind,
                                     dwIndex, ppContent);
}

const std::atomic<DWORD>* Mem_GetConfigValue(DWORD dwIndex) {
  return static_cast<const std::atomic<DWORD>*>(GetContentOr(MEM_CONTENT_CONFIG_VALUE, dwIndex, &g_defaultConfigValue));
}

const char* Mem_GetSessionUser(DWORD dwSessionId) {
  return static_cast<const char*>(GetContentOr(MEM_CONTENT_SESSION_USER, dwSessionId, g_defaultSessionUser));
}

const char* Mem_GetClientGuid(DWORD dwIndex) {
  return static_cast<const char*>(GetContentOr(MEM_CONTENT_CLIENT_GUID, dwIndex, g_defaultClientGuid));
}

const char* Mem_GetServerIp(DWORD dwIndex) {
  return static_cast<const char*>(GetContentOr(MEM_CONTENT_SERVER_IP, dwIndex, g_defaultServerIp));
}
