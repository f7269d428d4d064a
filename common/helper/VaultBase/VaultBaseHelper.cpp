#include "common/helper/VaultBase/VaultBaseHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultBase/VaultBaseApi.h"

// Every name the library is asked for, in resolution order.
#define VAULTBASE_EXPORTS(X)                                                                                  \
  X(LocalRealtimeOpt)                                                                                         \
  X(LocalRealtimeOptEx) X(Mem_Init_All) X(Mem_GetContent) X(Mem_Get_ResOptAccess) X(Mem_Release_ResOptAccess) \
      X(GetLocalUserSessionId) X(DriverOptHelper) X(DeviceIoControlHelper) X(HttpRequest) X(HttpFileDownload) \
          X(HttpFileUpload) X(Config_SetString_Remote) X(MakeFakeCert) X(FreeFakeCert) X(ImportCert)          \
              X(P2PFileDownload)
DLL_ADAPTER(VAULTBASE_EXPORTS, "vaultbase.dll", VaultBaseHelper);

namespace {

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
