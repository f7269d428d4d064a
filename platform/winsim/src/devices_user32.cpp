// user32's ExitWindowsEx: recorded for the control API, never acted on.
#include "devices.h"

using namespace winsim::internal;

WINSIM_API BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  WINSIM_FAIL_POINT(FALSE);
  auto& m = Model();
  std::lock_guard<std::recursive_mutex> lock(m.mutex);
  winsim::ExitWindowsRecord record;
  record.timeMs = ElapsedMs();
  record.flags = uFlags;
  record.reason = dwReason;
  record.privilegeEnabled = m.shutdownPrivilegeEnabled;
  // Logging off needs no privilege; shutting down or restarting does.
  bool needsPrivilege = (uFlags & 0xFF & ~UINT(EWX_FORCE)) != EWX_LOGOFF;
  record.accepted = !needsPrivilege || m.shutdownPrivilegeEnabled;
  m.exitWindows.push_back(record);
  Journal(u"", record.accepted ? "restart requested" : "restart refused: privilege not enabled", "ExitWindowsEx");
  if (!record.accepted) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  return TRUE;
}
