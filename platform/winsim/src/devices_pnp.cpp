// winsim's Plug and Play manager: the one place where devices come and go.
// Plugging, unplugging, enabling, disabling, restarting and removing a device,
// a parent's change and a late start all end in UpdatePresence, which derives
// presence from the tree and turns the difference into journal entries,
// passes scheduled on the machine's clock (start delays), and broadcasts and
// portable-device keys delivered from winsim's system thread, as Windows'
// Plug and Play manager delivers them from another process.
#include <algorithm>
#include <unordered_map>

#include "devices.h"

namespace winsim {
namespace internal {

namespace {

// The tree as parent links name it, over every node (removed ones too, so
// that the children of a removed node know their parent is gone).
struct TreeView {
  std::vector<DeviceNode*> order;                         // parents before children
  std::unordered_map<DeviceNode*, DeviceNode*> parentOf;  // null: below the root
  std::unordered_map<DeviceNode*, std::vector<DeviceNode*>> children;
  std::vector<DeviceNode*> orphans;  // in a cycle of parent links: never present
};

TreeView BuildTree() {
  TreeView t;
  auto& nodes = Model().nodes;
  std::unordered_map<std::u16string, DeviceNode*> byId;
  for (auto& n : nodes) {
    auto& slot = byId[UpperCase(n->id)];
    if (!slot || (slot->removed && !n->removed)) slot = n.get();  // the live one of a replaced ID
  }
  std::vector<DeviceNode*> roots;
  for (auto& n : nodes) {
    DeviceNode* parent = nullptr;
    if (!n->parent.empty()) {
      auto it = byId.find(UpperCase(n->parent));
      if (it != byId.end() && it->second != n.get()) parent = it->second;
    }
    t.parentOf[n.get()] = parent;
    if (parent)
      t.children[parent].push_back(n.get());
    else
      roots.push_back(n.get());
  }
  std::vector<DeviceNode*> stack(roots.rbegin(), roots.rend());
  while (!stack.empty()) {
    DeviceNode* n = stack.back();
    stack.pop_back();
    t.order.push_back(n);
    auto it = t.children.find(n);
    if (it != t.children.end()) stack.insert(stack.end(), it->second.rbegin(), it->second.rend());
  }
  if (t.order.size() < nodes.size()) {
    std::unordered_map<DeviceNode*, bool> seen;
    for (DeviceNode* n : t.order) seen[n] = true;
    for (auto& n : nodes)
      if (!seen.count(n.get())) t.orphans.push_back(n.get());
  }
  return t;
}

std::u16string WpdName(const DeviceNode& n) { return n.hasFriendlyName ? n.friendlyName : n.description; }

// What a pass hands to the system thread.
struct Effects {
  std::vector<std::pair<std::u16string, std::u16string>> wpdArrived;  // id, name
  std::vector<std::u16string> wpdGone;
  std::vector<DeviceChange> changes;
  bool nodesChanged = false;  // a node was added, removed, started or stopped
  bool Empty() const { return wpdArrived.empty() && wpdGone.empty() && changes.empty() && !nodesChanged; }
};

void Deliver(const Effects& e) {
  for (const auto& id : e.wpdGone) DeletePortableDeviceKey(id);
  for (const auto& w : e.wpdArrived) TouchPortableDeviceKey(w.first, w.second);
  if (!e.changes.empty()) NotifyDeviceChanges(e.changes);
  if (e.nodesChanged) BroadcastDevnodesChanged();
}

void SchedulePass(uint64_t dueMs);

// One pass over the tree. `initial`: a freshly loaded tree, where start
// delays have long passed and nobody is told.
void Pass(const std::string& cause, bool initial, Effects* effects) {
  auto& m = Model();
  const uint64_t now = UntrackedMonotonicMs();
  TreeView t = BuildTree();
  uint64_t nextDue = kNoDeadline;
  std::vector<DeviceNode*> arrived, gone;  // presence, in tree order
  std::vector<DeviceChange> up, down;      // interfaces
  std::vector<DeviceNode*> created;        // nodes of first-seen devices
  bool startsChanged = false;
  auto visit = [&](DeviceNode* n, bool orphan) {
    DeviceNode* parent = orphan ? nullptr : t.parentOf[n];
    bool eligible = !orphan && n->plugged && n->registered && !n->removed && !n->restarting;
    uint64_t anchor = n->pluggedAtMs;
    if (parent) {
      eligible = eligible && parent->present && parent->active;
      anchor = std::max(anchor, parent->startedAtMs);
    }
    const bool wasPresent = n->present, wasActive = n->active;
    if (eligible && !n->known) {
      // Enumerated for the first time: the node exists from now on.
      n->known = true;
      created.push_back(n);
    }
    if (!eligible) {
      n->present = false;
    } else if (!n->present) {
      uint64_t due = anchor + n->startDelayMs;
      if (initial || due <= now) {
        n->present = true;
        // A loaded tree keeps the status its description gives, but for a
        // disabled configuration.
        if (!initial || n->configDisabled) ApplyConfiguration(*n);
      } else {
        nextDue = std::min(nextDue, due);
      }
    }
    n->active = n->present && (n->status & DN_STARTED);
    if (n->active && !wasActive) n->startedAtMs = now;
    if (n->present != wasPresent) (n->present ? arrived : gone).push_back(n);
    if (n->active != wasActive) startsChanged = true;
    if (n->active != wasActive && !n->interfaces.empty())
      (n->active ? up : down).push_back({n->active, n->id, n->interfaces});
  };
  for (DeviceNode* n : t.order) visit(n, false);
  for (DeviceNode* n : t.orphans) visit(n, true);

  // What goes, goes bottom-up; what comes, top-down.
  std::reverse(gone.begin(), gone.end());
  std::reverse(down.begin(), down.end());
  for (DeviceNode* n : gone) {
    if (!initial) Journal(n->id, "gone", cause);
    if (IsWpd(*n)) effects->wpdGone.push_back(n->id);
  }
  for (DeviceNode* n : created)
    if (!initial) Journal(n->id, "node created", cause);
  for (DeviceNode* n : arrived) {
    if (!initial) Journal(n->id, "arrived", cause);
    if (IsWpd(*n)) effects->wpdArrived.push_back({n->id, WpdName(*n)});
  }
  if (!initial) {
    effects->changes.insert(effects->changes.end(), down.begin(), down.end());
    effects->changes.insert(effects->changes.end(), up.begin(), up.end());
    effects->nodesChanged = !created.empty() || !arrived.empty() || !gone.empty() || startsChanged;
  }
  // One pass waits for the earliest late start; it schedules the next.
  if (nextDue != kNoDeadline && (m.scheduledPasses.empty() || *m.scheduledPasses.begin() > nextDue))
    SchedulePass(nextDue);
}

void ScheduleEffects(Effects effects) {
  if (effects.Empty()) return;
  uint64_t generation = Model().generation;
  ScheduleAt(UntrackedMonotonicMs(), [effects = std::move(effects), generation] {
    {
      ModelLock lock(Model().mutex);
      if (Model().generation != generation) return;  // a new machine was loaded meanwhile
    }
    Deliver(effects);
  });
}

void SchedulePass(uint64_t dueMs) {
  auto& m = Model();
  m.scheduledPasses.insert(dueMs);
  uint64_t generation = m.generation;
  ScheduleAt(dueMs, [dueMs, generation] {
    auto& model = Model();
    ModelLock lock(model.mutex);
    if (model.generation != generation) return;
    model.scheduledPasses.erase(dueMs);
    UpdatePresence("after its start delay");
  });
}

// Plugs or unplugs a device with everything below it.
bool ChangePlugging(const std::string& instanceId, bool plugged) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  DeviceNode* target = NodeByIdKnownOrNot(Utf16(instanceId));
  if (!target || !target->registered) return false;
  const uint64_t now = UntrackedMonotonicMs();
  const char* call = plugged ? "PlugDevice" : "UnplugDevice";
  if (target->plugged != plugged) Journal(target->id, plugged ? "plugged" : "unplugged", call);
  for (DeviceNode* n : Subtree(*target)) {
    if (n->plugged == plugged) continue;
    n->plugged = plugged;
    if (plugged) n->pluggedAtMs = now;
  }
  UpdatePresence(call);
  return true;
}

}  // namespace

void UpdatePresence(const std::string& cause) {
  Effects effects;
  Pass(cause, false, &effects);
  ScheduleEffects(std::move(effects));
}

std::vector<std::pair<std::u16string, std::u16string>> InitialPresence() {
  const uint64_t now = UntrackedMonotonicMs();
  for (auto& n : Model().nodes) n->pluggedAtMs = n->startedAtMs = now;
  Effects effects;
  Pass("", true, &effects);
  return effects.wpdArrived;
}

std::vector<DeviceNode*> Subtree(DeviceNode& node) {
  TreeView t = BuildTree();
  std::vector<DeviceNode*> out;
  std::vector<DeviceNode*> stack{&node};
  while (!stack.empty()) {
    DeviceNode* n = stack.back();
    stack.pop_back();
    if (n->removed && n != &node) continue;
    out.push_back(n);
    auto it = t.children.find(n);
    if (it != t.children.end()) stack.insert(stack.end(), it->second.rbegin(), it->second.rend());
  }
  return out;
}

bool InUseAtOrBelow(DeviceNode& node) {
  for (DeviceNode* n : Subtree(node))
    if (n->inUse && n->present) return true;
  return false;
}

void RestartNode(DeviceNode& node, const std::string& cause) {
  node.restarting = true;
  UpdatePresence(cause);
  node.restarting = false;
  UpdatePresence(cause);
}

}  // namespace internal

// ---- control API ----

using namespace internal;

bool PlugDevice(const std::string& instanceId) { return ChangePlugging(instanceId, true); }
bool UnplugDevice(const std::string& instanceId) { return ChangePlugging(instanceId, false); }

bool SetDeviceInUse(const std::string& instanceId, bool inUse) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  DeviceNode* n = NodeById(Utf16(instanceId));
  if (!n || !n->registered) return false;
  n->inUse = inUse;
  return true;
}

bool SetDeviceDisabled(const std::string& instanceId, bool disabled) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  DeviceNode* n = NodeById(Utf16(instanceId));
  if (!n || !n->registered) return false;
  if (n->configDisabled == disabled) return true;
  n->configDisabled = disabled;
  ApplyConfiguration(*n);
  Journal(n->id, disabled ? "disabled by someone else" : "enabled by someone else", "SetDeviceDisabled");
  UpdatePresence("SetDeviceDisabled");
  return true;
}

bool WaitForDeviceIdle(unsigned timeoutMs) { return WaitUntilNoScheduledWork(DeadlineAfterMs(timeoutMs)); }

}  // namespace winsim
