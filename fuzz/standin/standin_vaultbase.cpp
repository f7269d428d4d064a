// vaultbase.dll for the fuzz targets: session 1, diagnostic level ERROR (so
// the module's INFO lines are not formatted or written at every input), fixed
// identity texts for the audit record.
#include <atomic>
#include <cstring>

#include "common/helper/VaultBase/VaultBaseApi.h"
#include "platform/winapi.h"

namespace {

const DWORD kKindSessionUser = MEM_CONTENT_SESSION_USER;
std::atomic<DWORD> g_diagLevel{2};
char g_sessionUser[SESSION_USER_SID_OFFSET + 64] = {};
char g_clientGuid[] = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
char g_serverIp[] = "10.0.0.1";

}  // namespace

DM_EXPORT DWORD GetLocalUserSessionId() { return 1; }

DM_EXPORT eRet Mem_GetContent(DWORD dwKind, DWORD dwIndex, void** ppContent) {
  if (ppContent == nullptr) return 1;
  switch (dwKind) {
    case MEM_CONTENT_CONFIG_VALUE:
      if (dwIndex != 46) return 1;
      *ppContent = &g_diagLevel;
      return 0;
    case kKindSessionUser:
      if (g_sessionUser[SESSION_USER_SID_OFFSET] == 0)
        strcpy(g_sessionUser + SESSION_USER_SID_OFFSET, "S-1-5-21-1004336348-1177238915-682003330-1001");
      *ppContent = g_sessionUser;
      return 0;
    case MEM_CONTENT_CLIENT_GUID: *ppContent = g_clientGuid; return 0;
    case MEM_CONTENT_SERVER_IP: *ppContent = g_serverIp; return 0;
    default: return 1;
  }
}
