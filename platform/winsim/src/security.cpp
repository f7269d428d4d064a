// advapi32 process token and privileges: enough for a program to enable
// SeShutdownPrivilege before it asks for a restart.
#include <atomic>
#include <cstring>

#include "devices.h"

using namespace winsim::internal;

namespace {

struct TokenObject : KernelObject {
  DWORD access = 0;
};

// Locally unique IDs of the privileges, as Windows numbers them.
const struct {
  const char16_t* name;
  DWORD luid;
} kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},
    {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},
    {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},
    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},
    {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},
};
const DWORD kShutdownLuid = 19;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::atomic<bool> g_elevated{true};
thread_local bool t_actingAsSystem = false;

// The description's "elevated": true (the default) or false, a standard user.
const bool kElevatedLoader = RegisterSectionLoader("elevated", [](const rapidjson::Value* section, const LoadContext&,
                                                                  std::function<void()>* commit, std::string* error) {
  if (section && !section->IsBool()) {
    *error = "must be true or false";
    return false;
  }
  bool on = section ? section->GetBool() : true;
  *commit = [on] { g_elevated.store(on); };
  return true;
});

}  // namespace

namespace winsim {
namespace internal {

bool ProcessElevated() { return g_elevated.load(); }

SystemRights::SystemRights() : previous_(t_actingAsSystem) { t_actingAsSystem = true; }
SystemRights::~SystemRights() { t_actingAsSystem = previous_; }

bool MayWriteMachineKeys() { return t_actingAsSystem || ProcessElevated(); }

}  // namespace internal
}  // namespace winsim

WINSIM_API HANDLE GetCurrentProcess(VOID) { return reinterpret_cast<HANDLE>(LONG_PTR(-1)); }

WINSIM_API BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  WINSIM_FAIL_POINT(FALSE);
  if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER);
  if (ProcessHandle != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);
  auto token = std::make_shared<TokenObject>();
  token->access = DesiredAccess;
  *TokenHandle = AddHandle(token);
  return TRUE;
}

WINSIM_API BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  WINSIM_FAIL_POINT(FALSE);
  if (!lpName || !lpLuid) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsLocalMachine(lpSystemName)) return Fail(RPC_S_SERVER_UNAVAILABLE);
  for (const auto& p : kPrivileges)
    if (EqualNoCase(p.name, FromW(lpName))) {
      lpLuid->LowPart = p.luid;
      lpLuid->HighPart = 0;
      return TRUE;
    }
  return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

WINSIM_API BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                      DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  WINSIM_FAIL_POINT(FALSE);
  auto token = LookupHandleAs<TokenObject>(TokenHandle);
  if (!token) return Fail(ERROR_INVALID_HANDLE);
  if (!(token->access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && !NewState) return Fail(ERROR_INVALID_PARAMETER);
  ModelLock lock(Model().mutex);
  auto& m = Model();
  if (PreviousState) {
    DWORD need = sizeof(TOKEN_PRIVILEGES);
    if (ReturnLength) *ReturnLength = need;
    if (BufferLength < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
    PreviousState->PrivilegeCount = 1;
    PreviousState->Privileges[0].Luid = {kShutdownLuid, 0};
    PreviousState->Privileges[0].Attributes = m.shutdownPrivilegeEnabled ? SE_PRIVILEGE_ENABLED : 0;
  }
  bool notAssigned = false;
  if (DisableAllPrivileges) {
    m.shutdownPrivilegeEnabled = false;
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& p = NewState->Privileges[i];
      if (p.Luid.LowPart != kShutdownLuid || p.Luid.HighPart != 0) continue;  // only shutdown matters here
      if (!m.shutdownPrivilegeHeld) {
        notAssigned = true;
        continue;
      }
      m.shutdownPrivilegeEnabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  // Success with ERROR_NOT_ALL_ASSIGNED when the token lacks a privilege.
  SetLastError(notAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}
