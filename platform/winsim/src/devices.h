// winsim's device tree: device nodes, setup classes, services and the process
// token, shared by the SetupAPI, cfgmgr32, service manager and newdev files.
// Internal to winsim (and newdev.dll, which calls into it).
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <set>
#include <rapidjson/document.h>
#include "machine.h"
#include "winsim/devices_control.h"
#include "winsim/win32.h"

namespace winsim {
namespace internal {

// ---- text helpers (devices_text.cpp: UTF-16 <-> UTF-8, case-insensitive compare) ----
std::u16string Utf16(const std::string& utf8);
std::string Utf8(const std::u16string& text);
std::u16string FromW(const WCHAR* text);  // null -> empty
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
std::u16string UpperCase(std::u16string text);
std::string GuidText(const GUID& guid);               // "4d36e967-e325-11ce-bfc1-08002be10318"
bool ParseGuid(const std::string& text, GUID* guid);  // with or without braces
bool SameGuid(const GUID& a, const GUID& b);

// ---- model ----

enum class Installer { Unset, Normal, Refuse, Restart };

struct SetupClass {
  std::u16string name;
  GUID guid{};
  std::u16string description;
  std::vector<std::u16string> upperFilters, lowerFilters;
  bool noInstallClass = false;
  bool noDisplayClass = false;
  Installer installer = Installer::Unset;
};

struct DeviceNode {
  DEVINST devInst = 0;
  std::u16string id;
  std::vector<std::u16string> hardwareIds, compatibleIds;
  GUID classGuid{};
  std::u16string className;  // used when the class is not in the class table
  std::u16string friendlyName, description, service, driver, mfg, location;
  bool hasFriendlyName = false, hasDescription = false;
  std::vector<std::u16string> upperFilters, lowerFilters;
  std::vector<GUID> interfaces;
  std::u16string parent;
  ULONG status = 0;
  ULONG problem = 0;
  // The problem a disable covers (a missing driver's 28): back once enabled.
  ULONG problemBeneath = 0;
  // Presence, as the Plug and Play manager derives it (UpdatePresence): a node
  // is present while it is plugged, registered, not removed, its parent is
  // present and started, and its start delay has passed since the later of
  // its parent's start and its plugging.
  bool plugged = true;          // physically connected (the description's "present")
  bool present = false;         // derived
  bool active = false;          // derived: present and DN_STARTED, its interfaces are enabled
  bool restarting = false;      // DICS_PROPCHANGE: away for one pass
  bool inUse = false;           // disabling or removing it (or an ancestor) waits for a reboot
  uint32_t startDelayMs = 0;    // after its parent started (a root: after it was plugged)
  uint64_t pluggedAtMs = 0;     // machine clock
  uint64_t startedAtMs = 0;     // machine clock, when it last became active
  bool globalDisabled = false;  // DICS_FLAG_GLOBAL
  bool configDisabled = false;  // DICS_FLAG_CONFIGSPECIFIC, current profile
  bool pendingReboot = false;   // a change waits for the machine to restart
  bool pendingRemove = false;
  bool removed = false;              // uninstalled: gone from every enumeration
  bool removedWhilePresent = false;  // a rescan finds the hardware again
  bool registered = true;            // false until DIF_REGISTERDEVICE
  // False for a device the machine has never seen (and everything below it):
  // no node until it is plugged and its parent has started, as a bus driver
  // creates the nodes of the functions it enumerates. Stays true once set.
  bool known = true;
  Installer installer = Installer::Unset;
};

struct Token {
  DWORD access = 0;
};

struct DeviceModel {
  std::recursive_mutex mutex;
  std::vector<SetupClass> classes;
  std::vector<std::unique_ptr<DeviceNode>> nodes;  // index + 2 = DEVINST; 1 is the root
  std::vector<std::u16string> services;
  std::map<std::u16string, GUID> interfaceNames;
  std::vector<DeviceJournalEntry> journal;
  std::vector<ExitWindowsRecord> exitWindows;
  std::map<HANDLE, Token> tokens;
  uint64_t generation = 0;             // counts loaded trees: work of an older one is dropped
  std::set<uint64_t> scheduledPasses;  // due times of the presence passes waiting on the clock
  bool shutdownPrivilegeHeld = true;
  bool shutdownPrivilegeEnabled = false;
  bool nonInteractive = false;
};
// Live objects of one kind (device information sets, service handles): a
// handle is the address of its object. Guarded by the model's mutex.
template <class T>
std::set<T*>& LiveObjects() {
  static auto* objects = new std::set<T*>;
  return *objects;
}

// Holds the device model's lock (recursive: the class installer calls back
// into SetupAPI).
typedef std::lock_guard<std::recursive_mutex> ModelLock;

DeviceModel& Model();
constexpr DEVINST kRootDevInst = 1;

// Lookups; call with the model's mutex held.
DeviceNode* NodeByDevInst(DEVINST devInst);                // registered or not, not removed
DeviceNode* NodeById(const std::u16string& id);            // case-insensitive, not removed, known
DeviceNode* NodeByIdKnownOrNot(const std::u16string& id);  // a device never seen too (to plug it)
const SetupClass* ClassByGuid(const GUID& guid);
std::vector<const SetupClass*> ClassesByName(const std::u16string& name);
Installer EffectiveInstaller(const DeviceNode& node);
bool IsWpd(const DeviceNode& node);
std::u16string ClassNameOf(const DeviceNode& node);
DeviceNode* AddNode(std::unique_ptr<DeviceNode> node);
// Recomputes the running state of a present node from its configuration.
void ApplyConfiguration(DeviceNode& node);

// ---- the device journal (devices_journal.cpp); call with the model's mutex held ----

uint64_t ElapsedMs();  // since the machine was loaded
void Journal(const std::u16string& id, const std::string& change, const std::string& call);
// A new machine's journal counts from now.
void RestartJournalClock();

// ---- the Plug and Play manager (devices_pnp.cpp); call with the model's mutex held ----

// The one place where presence changes: derives every node's presence and
// running state from plugging, removal, the parent's state and start delays,
// journals what came and went (under `cause`), schedules the passes of late
// starts on the machine's clock and the arrival and removal broadcasts (and
// portable-device keys) on winsim's system thread.
void UpdatePresence(const std::string& cause);
// The pass of a newly loaded tree: everything that can be present is, at
// once, without broadcasts. Returns the portable devices now present (their
// keys are for the caller to write, outside the model's mutex).
std::vector<std::pair<std::u16string, std::u16string>> InitialPresence();
// The node and every node below it (not removed), parents before children.
std::vector<DeviceNode*> Subtree(DeviceNode& node);
// True when the node or a present node below it is in use.
bool InUseAtOrBelow(DeviceNode& node);
// Takes a present node away and brings it back (DICS_PROPCHANGE).
void RestartNode(DeviceNode& node, const std::string& cause);

// True when `machine` is empty, null or this computer's name (leading "\\"
// allowed); remote machines are not reachable on current Windows.
bool IsLocalMachine(const WCHAR* machine);

// Fault point of the functions that return a CONFIGRET.
#define WINSIM_FAIL_POINT_CR() WINSIM_FAIL_POINT_CODE(CONFIGRET)

// Reads a file of the simulated machine (Windows path) into `bytes`.
bool ReadMachineFile(const std::u16string& windowsPath, std::string* bytes);

// Registry side effects, done outside the model's mutex (watchers may call
// back), with the system's rights (the machine's own writes work for a
// process that is not elevated).
void WriteClassKeys(const std::vector<SetupClass>& classes);
void TouchPortableDeviceKey(const std::u16string& id, const std::u16string& name);
void DeletePortableDeviceKey(const std::u16string& id);

// ---- observers of device changes (devices_observers.cpp) ----

// Device arrivals and removals (a device's interfaces enabled or disabled),
// broadcast by user32 to windows registered for one of the device's interface
// classes. Observers run on winsim's system thread, outside the model's
// mutex, one batch per presence pass, in order.
struct DeviceChange {
  bool arrival = true;
  std::u16string instanceId;
  std::vector<GUID> interfaces;
};
using DeviceChangeObserver = std::function<void(const std::vector<DeviceChange>&)>;
int OnDeviceArrival(DeviceChangeObserver observer);  // returns a token
void RemoveDeviceArrivalObserver(int token);
void NotifyDeviceChanges(const std::vector<DeviceChange>& changes);
// WM_DEVICECHANGE(DBT_DEVNODES_CHANGED) to every top-level window; call
// without the model's lock (from winsim's system thread).
void BroadcastDevnodesChanged();

// ---- the machine description's device sections (machine_description.cpp) ----

// A description's device sections, parsed and not yet installed.
struct LoadedTree {
  std::vector<SetupClass> classes;
  std::map<std::u16string, GUID> interfaceNames;
  std::vector<std::unique_ptr<DeviceNode>> nodes;
  std::vector<std::u16string> services;
};
// One device entry, against the classes and interface class names it may
// name. False with a message on a malformed entry.
bool ParseDevice(const rapidjson::Value& entry, const std::vector<SetupClass>& classes,
                 const std::map<std::u16string, GUID>& interfaceNames, DeviceNode* node, std::string* error);
// Machine description sections "classes", "deviceInterfaceClasses", "devices"
// and "services" of a whole description: replaces the device model. Returns
// false with a message on malformed content; the old model then stays.
bool LoadDevicesSection(const rapidjson::Value& machine, std::string* error);

// Installs a parsed tree as the machine's device model (devices.cpp).
void InstallTree(LoadedTree tree);
// Drops every device, class and service (a new, empty machine).
void ResetDevices();

// newdev.dll's UpdateDriverForPlugAndPlayDevicesW (devices_driver.cpp).
WINSIM_CTL BOOL UpdateDriverForDevices(const WCHAR* hardwareId, const WCHAR* fullInfPath, DWORD installFlags,
                                       BOOL* rebootRequired);

}  // namespace internal
}  // namespace winsim
