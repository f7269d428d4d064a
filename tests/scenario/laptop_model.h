// A model of what the device module must do on the laptop, written from the
// rules alone (it calls no module code): which devices are never touched,
// which strategy device IDs a device has and what the policy says about it;
// plus a generator of random event plans and the policy text for a plan state.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "winsim/devices_control.h"

namespace model {

struct Device {
  std::string id;
  std::string classGuid;  // lower case
  std::string name;
  uint32_t status = 0;  // DN_* flags in the description
  uint32_t problem = 0;
  bool present = true;  // plugged in
  bool known = true;    // false: never seen by the machine, no node until its first plug
  std::string parent;
  std::vector<std::string> ids;         // hardware and compatible IDs
  std::vector<std::string> interfaces;  // interface class names
  bool Input() const;                   // a keyboard, a mouse or another HID input device
  bool Hub() const;                     // a USB hub, whatever its name
  bool Net() const;                     // a network adapter (setup class Net)
};

class Laptop {
 public:
  explicit Laptop(const std::string& machineJson);
  const std::vector<Device>& Devices() const { return devices_; }
  const Device* Find(const std::string& id) const;
  // The device and every device below it.
  std::vector<std::string> Subtree(const std::string& id) const;

  // Devices the module must never control (exclusion table).
  static bool Excluded(const Device& d);
  // A hub, or a device below which an input device or a hub hangs: the
  // module must never take it down.
  bool Guarded(const std::string& id) const;
  // The strategy device IDs of a device under the definitions of PolicyText,
  // in definition order.
  std::vector<std::string> StrategyIds(const Device& d) const;

 private:
  std::vector<Device> devices_;
};

using Behaviour = winsim::InstallerBehaviour;

struct Event {
  // Toggle: the administrator forbids or allows a strategy device ID;
  // UserOff/UserOn: someone else disables or enables a device; InUse: a
  // device's files are opened or closed. Strategies: the policy loses its
  // device strategies (target "none": an empty list, "gone": no policy file)
  // or gets them back. LibraryBack: the policy library answers again.
  enum Kind { Installer, Plug, Unplug, Toggle, UserOff, UserOn, InUse, Strategies, LibraryBack } kind = Toggle;
  std::string target;  // device ID, the strategy device ID toggled, or "none"/"gone"
  Behaviour behaviour = Behaviour::Normal;
  std::string Describe() const;
};

// Events applied back to back, then one settling pass is awaited.
struct Batch {
  // Restart: the agent and the machine restart. Kill: the agent is killed
  // (SIGKILL) at a moment of the pass the events lead to, at the `killAt`-th
  // call of `killCall`. UninstallAtStart: the agent starts while it is being
  // uninstalled. OutageAtStart: the agent starts while its policy library
  // cannot be loaded (it stays down until a LibraryBack or the next run).
  enum Kind { Normal, Restart, Uninstall, Kill, UninstallAtStart, OutageAtStart } kind = Normal;
  std::vector<Event> events;  // Normal, Kill: quiet events, then one that wakes the module
  std::string killCall;
  int killAt = 0;
  std::string Describe() const;
};

// What a plan has set up so far (everything but the device states, which the
// machine keeps).
struct PlanState {
  std::set<std::string> forbidden;
  std::map<std::string, Behaviour> installers;  // non-Normal only
  std::set<std::string> present;                // pluggable roots plugged in
  std::set<std::string> userOff;                // disabled by someone else
  std::set<std::string> inUse;
  int revision = 0;         // of the policy text
  bool noStrategy = false;  // the policy holds no device strategy
  bool policyGone = false;  // ... because its file is gone
  bool outage = false;      // the policy library cannot be asked (this run only)
  void Apply(const Batch& batch);
};

// Segments of a plan: each runs in a process of its own; a segment ends with
// a restart of the agent, a kill or the uninstall.
std::vector<std::vector<Batch>> MakePlan(const Laptop& laptop, uint64_t seed, int events);

// The policy: class and device definitions, one strategy forbidding the
// forbidden IDs, one allowing everything else; both carry the revision.
std::string PolicyText(const Laptop& laptop, const PlanState& state);

}  // namespace model
