// winsim's device tree: the model (nodes, classes, services and their
// lookups), its installation from a parsed description, and the control API
// that changes it as the world would.
#include "devices.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <rapidjson/document.h>

namespace winsim {
namespace internal {

namespace {
const char kWpdClassGuid[] = "eec5ad98-8080-425f-922a-dabf3de3f69a";
}  // namespace

DeviceModel& Model() {
  static DeviceModel* model = new DeviceModel;  // never destroyed: detached threads may still call in
  EnsureMachine();                              // SetupAPI and cfgmgr32 read the machine of WINSIM_MACHINE too
  return *model;
}

DeviceNode* NodeByDevInst(DEVINST devInst) {
  auto& m = Model();
  if (devInst < 2 || devInst - 2 >= m.nodes.size()) return nullptr;
  DeviceNode* n = m.nodes[devInst - 2].get();
  return n->removed || !n->known ? nullptr : n;
}

namespace {
// Nodes by upper-case ID, every node of an ID in the model's order: nodes are
// only ever appended (and all dropped with a new generation), so the index
// follows the model by adding what is new. It spares every lookup a walk of
// the whole machine.
struct IdIndex {
  std::mutex mutex;
  uint64_t generation = ~uint64_t(0);
  size_t indexed = 0;
  std::unordered_map<std::u16string, std::vector<DeviceNode*>> byId;
};
IdIndex& NodeIndex() {
  static IdIndex index;
  return index;
}
}  // namespace

DeviceNode* NodeById(const std::u16string& id) {
  DeviceNode* n = NodeByIdKnownOrNot(id);
  return n && n->known ? n : nullptr;
}

DeviceNode* NodeByIdKnownOrNot(const std::u16string& id) {
  auto& m = Model();
  IdIndex& index = NodeIndex();
  std::lock_guard<std::mutex> lock(index.mutex);
  if (index.generation != m.generation || index.indexed > m.nodes.size()) {
    index.byId.clear();
    index.indexed = 0;
    index.generation = m.generation;
  }
  for (; index.indexed < m.nodes.size(); ++index.indexed)
    index.byId[UpperCase(m.nodes[index.indexed]->id)].push_back(m.nodes[index.indexed].get());
  auto it = index.byId.find(UpperCase(id));
  if (it == index.byId.end()) return nullptr;
  for (DeviceNode* n : it->second)
    if (!n->removed) return n;
  return nullptr;
}

const SetupClass* ClassByGuid(const GUID& guid) {
  for (const auto& c : Model().classes)
    if (SameGuid(c.guid, guid)) return &c;
  return nullptr;
}

std::vector<const SetupClass*> ClassesByName(const std::u16string& name) {
  std::vector<const SetupClass*> out;
  for (const auto& c : Model().classes)
    if (EqualNoCase(c.name, name)) out.push_back(&c);
  return out;
}

Installer EffectiveInstaller(const DeviceNode& node) {
  if (node.installer != Installer::Unset) return node.installer;
  const SetupClass* c = ClassByGuid(node.classGuid);
  if (c && c->installer != Installer::Unset) return c->installer;
  return Installer::Normal;
}

std::u16string ClassNameOf(const DeviceNode& node) {
  const SetupClass* c = ClassByGuid(node.classGuid);
  return c ? c->name : node.className;
}

bool IsWpd(const DeviceNode& node) {
  GUID wpd{};
  ParseGuid(kWpdClassGuid, &wpd);
  return SameGuid(node.classGuid, wpd) || EqualNoCase(ClassNameOf(node), u"WPD");
}

DeviceNode* AddNode(std::unique_ptr<DeviceNode> node) {
  auto& m = Model();
  node->devInst = DEVINST(m.nodes.size() + 2);
  m.nodes.push_back(std::move(node));
  return m.nodes.back().get();
}

void ApplyConfiguration(DeviceNode& n) {
  if (!n.present) return;
  if (n.configDisabled || n.globalDisabled) {
    if (n.problem != 0 && n.problem != CM_PROB_DISABLED) n.problemBeneath = n.problem;
    n.status = (n.status & ~ULONG(DN_STARTED)) | DN_HAS_PROBLEM;
    n.problem = CM_PROB_DISABLED;
    return;
  }
  // Enabled, a device is what it was beneath the disable: started, or still
  // without its driver.
  if (n.problem == CM_PROB_DISABLED) n.problem = n.problemBeneath;
  n.problemBeneath = 0;
  if (n.problem == 0) n.status = (n.status & ~ULONG(DN_HAS_PROBLEM)) | DN_STARTED;
}

bool IsLocalMachine(const WCHAR* machine) {
  std::u16string name = FromW(machine);
  if (name.empty()) return true;
  if (name.size() >= 2 && name[0] == u'\\' && name[1] == u'\\') name = name.substr(2);
  std::string local;
  {
    auto guard = LockMachine();
    local = guard.machine.computerName;
  }
  return EqualNoCase(name, Utf16(local));
}

// Installs a parsed tree as the machine's device model.
void InstallTree(LoadedTree t) {
  std::vector<SetupClass> classes;
  std::vector<std::pair<std::u16string, std::u16string>> wpd;
  {
    auto& m = Model();
    ModelLock lock(m.mutex);
    ResetDevices();
    m.classes = std::move(t.classes);
    m.interfaceNames = std::move(t.interfaceNames);
    m.services = std::move(t.services);
    for (auto& n : t.nodes) AddNode(std::move(n));
    wpd = InitialPresence();
    classes = m.classes;
  }
  WriteClassKeys(classes);
  for (const auto& w : wpd) TouchPortableDeviceKey(w.first, w.second);
}

void ResetDevices() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  m.classes.clear();
  m.nodes.clear();
  m.services.clear();
  m.interfaceNames.clear();
  m.journal.clear();
  m.exitWindows.clear();
  m.shutdownPrivilegeHeld = true;
  m.shutdownPrivilegeEnabled = false;
  ++m.generation;
  m.scheduledPasses.clear();
  RestartJournalClock();
}

}  // namespace internal

// ---- control API ----

using namespace internal;

bool SetDeviceStatus(const std::string& instanceId, ULONG status, ULONG problem) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  DeviceNode* n = NodeById(Utf16(instanceId));
  if (!n) return false;
  n->status = status;
  n->problem = problem;
  char buf[64];
  std::snprintf(buf, sizeof buf, "status 0x%08X problem %u", unsigned(status), unsigned(problem));
  Journal(n->id, buf, "SetDeviceStatus");
  UpdatePresence("SetDeviceStatus");
  return true;
}

bool SetInstallerBehaviour(const std::string& target, InstallerBehaviour behaviour) {
  Installer inst = behaviour == InstallerBehaviour::Refuse    ? Installer::Refuse
                   : behaviour == InstallerBehaviour::Restart ? Installer::Restart
                                                              : Installer::Normal;
  auto& m = Model();
  ModelLock lock(m.mutex);
  std::u16string t = Utf16(target);
  if (DeviceNode* n = NodeById(t)) {
    n->installer = inst;
    return true;
  }
  bool found = false;
  for (auto& c : m.classes)
    if (EqualNoCase(c.name, t)) c.installer = inst, found = true;
  return found;
}

DeviceState GetDeviceState(const std::string& instanceId) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  DeviceState s;
  const DeviceNode* n = NodeById(Utf16(instanceId));
  if (!n || !n->registered) return s;
  s.exists = true;
  s.present = n->present;
  s.status = n->status;
  s.problem = n->problem;
  s.started = n->present && (n->status & DN_STARTED);
  s.disabled = n->configDisabled;
  s.disabledGlobal = n->globalDisabled;
  s.pendingReboot = n->pendingReboot;
  s.inUse = n->inUse;
  s.plugged = n->plugged;
  s.driver = Utf8(n->driver);
  return s;
}

std::vector<std::string> ListDevices(bool presentOnly) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  std::vector<std::string> out;
  for (const auto& n : m.nodes)
    if (!n->removed && n->registered && n->known && (n->present || !presentOnly)) out.push_back(Utf8(n->id));
  return out;
}

bool AddDevice(const std::string& deviceJson, std::string* error) {
  rapidjson::Document doc;
  // Iterative: a deeply nested text costs heap, not the stack.
  doc.Parse<rapidjson::kParseIterativeFlag>(deviceJson.c_str());
  if (doc.HasParseError()) {
    if (error) *error = "device JSON does not parse";
    return false;
  }
  auto& m = Model();
  ModelLock lock(m.mutex);
  auto n = std::make_unique<DeviceNode>();
  std::string err;
  if (!ParseDevice(doc, m.classes, m.interfaceNames, n.get(), &err)) {
    if (error) *error = err;
    return false;
  }
  if (DeviceNode* old = NodeByIdKnownOrNot(n->id)) old->removed = true;
  n->pluggedAtMs = UntrackedMonotonicMs();
  DeviceNode* node = AddNode(std::move(n));
  Journal(node->id, "added", "AddDevice");
  UpdatePresence("AddDevice");
  return true;
}

void SetShutdownPrivilegeHeld(bool held) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  m.shutdownPrivilegeHeld = held;
}

std::vector<ExitWindowsRecord> ExitWindowsCalls() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  return m.exitWindows;
}

}  // namespace winsim
