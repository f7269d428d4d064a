// What waits for a driver or a restart: newdev.dll's driver updates and the
// control API's reboot, which applies what class installers deferred.
#include "devices.h"

namespace winsim {
namespace internal {

BOOL UpdateDriverForDevices(const WCHAR* hardwareId, const WCHAR* fullInfPath, DWORD installFlags,
                            BOOL* rebootRequired) {
  DWORD fault = 0;
  if (TakeFault("UpdateDriverForPlugAndPlayDevicesW", &fault)) {
    SetLastError(fault);
    return FALSE;
  }
  if (!hardwareId || !*hardwareId || !fullInfPath || !*fullInfPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (installFlags & ~DWORD(INSTALLFLAG_BITS)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return FALSE;
  }
  std::string inf;
  if (!ReadMachineFile(FromW(fullInfPath), &inf)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!ProcessElevated()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  auto& m = Model();
  ModelLock lock(m.mutex);
  std::u16string hwid = FromW(hardwareId);
  std::vector<DeviceNode*> matches;
  for (auto& n : m.nodes) {
    if (n->removed || !n->registered || !n->present) continue;
    bool match = false;
    for (const auto& id : n->hardwareIds) match = match || EqualNoCase(id, hwid);
    for (const auto& id : n->compatibleIds) match = match || EqualNoCase(id, hwid);
    if (match) matches.push_back(n.get());
  }
  if (matches.empty()) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  bool reboot = false, refused = false;
  for (DeviceNode* n : matches) {
    Installer inst = EffectiveInstaller(*n);
    if (inst == Installer::Refuse) {
      refused = true;
      continue;
    }
    n->driver = FromW(fullInfPath);
    if (inst == Installer::Restart) {
      reboot = true;
      n->pendingReboot = true;
      n->status |= DN_NEED_RESTART;
      Journal(n->id, "driver update waits for restart", "UpdateDriverForPlugAndPlayDevicesW");
      continue;
    }
    if (n->problem == CM_PROB_FAILED_INSTALL || n->problem == CM_PROB_NOT_CONFIGURED) {
      n->problem = 0;
      n->status &= ~ULONG(DN_HAS_PROBLEM);
    }
    if (n->problemBeneath == CM_PROB_FAILED_INSTALL || n->problemBeneath == CM_PROB_NOT_CONFIGURED)
      n->problemBeneath = 0;
    n->status |= DN_DRIVER_LOADED | DN_NT_DRIVER;
    ApplyConfiguration(*n);
    Journal(n->id, "driver updated", "UpdateDriverForPlugAndPlayDevicesW");
  }
  UpdatePresence("UpdateDriverForPlugAndPlayDevicesW");
  if (refused && !reboot && matches.size() == 1) {
    SetLastError(ERROR_DI_DONT_INSTALL);
    return FALSE;
  }
  if (rebootRequired) *rebootRequired = reboot ? TRUE : FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace internal

// ---- control API ----

using namespace internal;

void RebootMachine() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  for (auto& n : m.nodes) {
    if (n->removed || !n->pendingReboot) continue;
    n->pendingReboot = false;
    n->status &= ~ULONG(DN_NEED_RESTART);
    if (n->pendingRemove) {
      n->pendingRemove = false;
      n->removed = true;
      n->removedWhilePresent = n->present;
      Journal(n->id, "removed at restart", "RebootMachine");
      continue;
    }
    if (n->present && !n->driver.empty() && n->problem == CM_PROB_FAILED_INSTALL) {
      n->problem = 0;
      n->status = (n->status & ~ULONG(DN_HAS_PROBLEM)) | DN_DRIVER_LOADED | DN_NT_DRIVER;
    }
    if (!n->driver.empty() && n->problemBeneath == CM_PROB_FAILED_INSTALL) n->problemBeneath = 0;
    ApplyConfiguration(*n);
    Journal(n->id, "configuration applied at restart", "RebootMachine");
  }
  UpdatePresence("RebootMachine");
  m.shutdownPrivilegeEnabled = false;
}

}  // namespace winsim
