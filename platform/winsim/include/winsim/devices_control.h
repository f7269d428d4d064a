// winsim's control API for the device tree: plug and unplug devices, set their
// status, steer class installers, read what happened. Tests and the host use
// it; module code never includes it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "winsim/control.h"
#include "winsim/types.h"

namespace winsim {

enum class InstallerBehaviour {
  Normal,   // changes apply at once
  Refuse,   // the class installer fails and leaves the device unchanged
  Restart,  // succeeds, asks for a restart (DI_NEEDRESTART); applies at reboot
};

struct DeviceState {
  bool exists = false;          // known to the machine (present or not)
  bool present = false;
  bool started = false;         // DN_STARTED
  ULONG status = 0;             // DN_* flags as stored
  ULONG problem = 0;            // CM_PROB_*
  bool disabled = false;        // disabled in the current hardware profile
  bool disabledGlobal = false;  // disabled in every profile
  bool pendingReboot = false;   // a change waits for RebootMachine
  std::string driver;           // INF of the last driver update
};

struct DeviceJournalEntry {
  uint64_t timeMs = 0;     // milliseconds since the machine was loaded
  std::string instanceId;  // empty for machine-wide events
  std::string change;      // "disabled", "enabled", "restarted", "plugged", ...
  std::string call;        // the Win32 or control call that caused it
};

struct ExitWindowsRecord {
  uint64_t timeMs = 0;
  UINT flags = 0;
  DWORD reason = 0;
  bool privilegeEnabled = false;  // SeShutdownPrivilege was enabled at the call
  bool accepted = false;          // what ExitWindowsEx answered
};

// Makes a known device present (and started unless its configuration disables
// it), broadcasts its arrival and, for a portable device, touches its key under
// HKLM\SOFTWARE\Microsoft\Windows Portable Devices\Devices. False: unknown ID.
WINSIM_CTL bool PlugDevice(const std::string& instanceId);
WINSIM_CTL bool UnplugDevice(const std::string& instanceId);
// Sets the stored DN_* flags and problem number of a device.
WINSIM_CTL bool SetDeviceStatus(const std::string& instanceId, ULONG status, ULONG problem);
// `target`: a device instance ID, else a setup class name. False when neither.
WINSIM_CTL bool SetInstallerBehaviour(const std::string& target, InstallerBehaviour behaviour);
WINSIM_CTL DeviceState GetDeviceState(const std::string& instanceId);
// Instance IDs of the known devices, in enumeration order.
WINSIM_CTL std::vector<std::string> ListDevices(bool presentOnly);
// Adds (or replaces) one device from a JSON object of the machine description.
WINSIM_CTL bool AddDevice(const std::string& deviceJson, std::string* error = nullptr);
// Replaces the device model with the "classes", "devices", "services",
// "interfaceClasses" and "privileges" of a machine description (JSON text).
WINSIM_CTL bool LoadDeviceTreeJson(const std::string& machineJson, std::string* error = nullptr);
// Applies the changes that class installers deferred to a restart.
WINSIM_CTL void RebootMachine();
// Whether the process token holds SeShutdownPrivilege (default true).
WINSIM_CTL void SetShutdownPrivilegeHeld(bool held);

WINSIM_CTL std::vector<DeviceJournalEntry> DeviceJournal();
// The journal's clock: milliseconds since the machine was loaded.
WINSIM_CTL uint64_t JournalClockMs();
WINSIM_CTL void ClearDeviceJournal();
WINSIM_CTL std::vector<ExitWindowsRecord> ExitWindowsCalls();

}  // namespace winsim
