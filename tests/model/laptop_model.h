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

namespace model {

struct Device {
  std::string id;
  std::string classGuid;  // lower case
  std::string name;
  uint32_t status = 0;    // DN_* flags in the description
  uint32_t problem = 0;
  bool present = true;
  std::string parent;
  bool broadcasts = false;  // has a USB device interface: its arrival is announced
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
  // The strategy device IDs of a device under the definitions of PolicyText,
  // in definition order.
  std::vector<std::string> StrategyIds(const Device& d) const;
  // Every ID a plan may forbid.
  std::vector<std::string> ForbiddableIds() const;

 private:
  std::vector<Device> devices_;
};

enum class Behaviour { Normal, Refuse, Restart };

struct Event {
  enum Kind { Installer, Plug, Unplug, Toggle } kind = Toggle;
  std::string target;  // device ID, or the strategy device ID toggled
  Behaviour behaviour = Behaviour::Normal;
  std::string Describe() const;
};

// Events applied back to back, then one settling pass is awaited.
struct Batch {
  enum Kind { Normal, Restart, Uninstall } kind = Normal;
  std::vector<Event> events;  // Normal: quiet events, then one that wakes the module
  std::string Describe() const;
};

// What a plan has set up so far (everything but the device states, which the
// machine keeps).
struct PlanState {
  std::set<std::string> forbidden;
  std::map<std::string, Behaviour> installers;  // non-Normal only
  std::set<std::string> present;                 // pluggable roots plugged in
  int revision = 0;                              // of the policy text
  void Apply(const Batch& batch);
};

// Segments of a plan: each runs in a process of its own; a segment ends with
// a restart of the agent or with the uninstall.
std::vector<std::vector<Batch>> MakePlan(const Laptop& laptop, uint64_t seed, int events);

// The policy: class and device definitions, one strategy forbidding the
// forbidden IDs, one allowing everything else; both carry the revision.
std::string PolicyText(const Laptop& laptop, const PlanState& state);

// Pluggable roots: the devices a user plugs in or pulls out.
std::vector<std::string> PluggableRoots(const Laptop& laptop);

}  // namespace model
