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
  bool exists = false;  // known to the machine (present or not)
  bool present = false;
  bool started = false;         // DN_STARTED
  ULONG status = 0;             // DN_* flags as stored
  ULONG problem = 0;            // CM_PROB_*
  bool disabled = false;        // disabled in the current hardware profile
  bool disabledGlobal = false;  // disabled in every profile
  bool pendingReboot = false;   // a change waits for RebootMachine
  bool inUse = false;           // disabling or removing it waits for RebootMachine
  bool plugged = false;         // physically connected (the description's "present")
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

// Connects a known device with everything below it. Each becomes present (and
// started unless its configuration disables it) once its parent has started
// and its own start delay has passed ("startDelay"; a device whose parent is
// not present or not started stays away); each arrival is broadcast to the
// windows registered for one of its interface classes and, for a portable
// device, creates its key under
// HKLM\SOFTWARE\Microsoft\Windows Portable Devices\Devices. Broadcasts
// and keys come from winsim's system thread, after the call returns, as
// Windows' Plug and Play manager sends them from another process: wait with
// WaitForDeviceIdle. False: unknown ID.
WINSIM_CTL bool PlugDevice(const std::string& instanceId);
// Disconnects a device with everything below it: each goes at once, with its
// removal broadcast and, for a portable device, its key deleted.
WINSIM_CTL bool UnplugDevice(const std::string& instanceId);
// Waits on the machine's clock until nothing is pending: no late start, no
// broadcast, no portable-device key left to deliver. False when `timeoutMs`
// passed first (INFINITE waits for ever).
WINSIM_CTL bool WaitForDeviceIdle(unsigned timeoutMs);
// Marks a device in use (a page file, an open volume): disabling or removing it,
// or a device above it, through the class installer succeeds with
// DI_NEEDREBOOT and changes nothing until RebootMachine.
WINSIM_CTL bool SetDeviceInUse(const std::string& instanceId, bool inUse);
// Someone else (a user in the Device Manager) disables or enables a device in
// the current hardware profile; its subtree follows as for a class-installer
// change. Journalled with the call "SetDeviceDisabled".
WINSIM_CTL bool SetDeviceDisabled(const std::string& instanceId, bool disabled);
// Keeps a record of the device tree outside the process, for a test that
// kills it: after every change of a device, `journalPath` gets the journal
// entry appended as "instance ID<TAB>change<TAB>call" and `statesPath` is
// replaced by one line per device: "instance ID<TAB>plugged<TAB>disabled
// <TAB>in use<TAB>pending restart". Empty paths stop it.
WINSIM_CTL void MirrorDeviceChanges(const std::string& journalPath, const std::string& statesPath);
// Sets the stored DN_* flags and problem number of a device (a device that
// stops being started takes the devices below it away).
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
// Applies the changes that class installers deferred to a restart (installer
// "restart", devices in use).
WINSIM_CTL void RebootMachine();
// Whether the process token holds SeShutdownPrivilege (default true).
WINSIM_CTL void SetShutdownPrivilegeHeld(bool held);

WINSIM_CTL std::vector<DeviceJournalEntry> DeviceJournal();
// The journal's clock: milliseconds since the machine was loaded.
WINSIM_CTL uint64_t JournalClockMs();
WINSIM_CTL void ClearDeviceJournal();
WINSIM_CTL std::vector<ExitWindowsRecord> ExitWindowsCalls();

}  // namespace winsim
