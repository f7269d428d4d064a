// winsim's device tree: the model, its loading from the machine description,
// the control API and the arrival observers.
#include "devices.h"
#include "interface_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <rapidjson/document.h>

namespace winsim {
namespace internal {

namespace {

uint64_t g_epochMs = UntrackedMonotonicMs();  // of the journal's clock

std::mutex g_observerMutex;
std::map<int, DeviceChangeObserver> g_observers;
int g_nextObserver = 1;

const char kWpdClassGuid[] = "eec5ad98-8080-425f-922a-dabf3de3f69a";

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

using Json = rapidjson::Value;

bool StringList(const Json& obj, const char* key, std::vector<std::u16string>* out, std::string* error) {
  out->clear();
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (!it->value.IsArray()) {
    *error = std::string("\"") + key + "\" must be an array of strings";
    return false;
  }
  for (const auto& v : it->value.GetArray()) {
    if (!v.IsString()) {
      *error = std::string("\"") + key + "\" must be an array of strings";
      return false;
    }
    out->push_back(Utf16(v.GetString()));
  }
  return true;
}

std::u16string Str(const Json& obj, const char* key, bool* has = nullptr) {
  auto it = obj.FindMember(key);
  bool ok = it != obj.MemberEnd() && it->value.IsString();
  if (has) *has = ok;
  return ok ? Utf16(it->value.GetString()) : std::u16string();
}

bool Bool(const Json& obj, const char* key, bool dflt) {
  auto it = obj.FindMember(key);
  return (it != obj.MemberEnd() && it->value.IsBool()) ? it->value.GetBool() : dflt;
}

bool Number(const Json& obj, const char* key, ULONG* out, std::string* error) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return true;
  if (it->value.IsUint()) {
    *out = it->value.GetUint();
    return true;
  }
  if (it->value.IsString()) {
    char* end = nullptr;
    const char* s = it->value.GetString();
    unsigned long v = std::strtoul(s, &end, 0);
    if (end != s && *end == 0) {
      *out = ULONG(v);
      return true;
    }
  }
  *error = std::string("\"") + key + "\" must be a number or a numeric string";
  return false;
}

bool ParseInstaller(const std::u16string& text, Installer* out) {
  if (text.empty()) return true;
  if (EqualNoCase(text, u"normal"))
    *out = Installer::Normal;
  else if (EqualNoCase(text, u"refuse"))
    *out = Installer::Refuse;
  else if (EqualNoCase(text, u"restart"))
    *out = Installer::Restart;
  else
    return false;
  return true;
}

struct LoadedTree {
  std::vector<SetupClass> classes;
  std::map<std::u16string, GUID> interfaceNames;
  std::vector<std::unique_ptr<DeviceNode>> nodes;
  std::vector<std::u16string> services;
};

bool ParseClass(const Json& c, SetupClass* out, std::string* error) {
  if (!c.IsObject()) {
    *error = "a class must be an object";
    return false;
  }
  bool hasName = false;
  out->name = Str(c, "name", &hasName);
  auto g = c.FindMember("guid");
  if (!hasName || out->name.empty() || g == c.MemberEnd() || !g->value.IsString() ||
      !ParseGuid(g->value.GetString(), &out->guid)) {
    *error = "a class needs \"name\" and a valid \"guid\"";
    return false;
  }
  out->description = Str(c, "description");
  if (!StringList(c, "upperFilters", &out->upperFilters, error) ||
      !StringList(c, "lowerFilters", &out->lowerFilters, error))
    return false;
  out->noInstallClass = Bool(c, "noInstallClass", false);
  out->noDisplayClass = Bool(c, "noDisplayClass", false);
  if (!ParseInstaller(Str(c, "installer"), &out->installer)) {
    *error = "class " + Utf8(out->name) + ": \"installer\" must be normal, refuse or restart";
    return false;
  }
  return true;
}

// Every member a device entry may have; another one is a mistake (a
// misspelt "startDelay" would otherwise be silently ignored).
const std::string kDeviceMembers[] = {"id",      "hw",          "compat",       "class",        "classGuid",
                                      "name",    "description", "friendlyName", "service",      "driver",
                                      "mfg",     "location",    "upperFilters", "lowerFilters", "status",
                                      "problem", "root",        "present",      "disabled",     "interfaces",
                                      "parent",  "installer",   "startDelay",   "inUse",        "note",
                                      "known"};
// Members that are text, and members that are true or false: another type is
// a mistake ("present": "false" would otherwise read as present).
const std::string kTextMembers[] = {"id",     "class",  "classGuid", "name",     "description", "friendlyName",
                                    "service", "driver", "mfg",       "location", "parent",      "installer"};
const std::string kFlagMembers[] = {"root", "present", "disabled", "inUse", "known"};

// The Plug and Play manager's rule for instance IDs: printable ASCII, no comma.
bool ValidInstanceId(const std::u16string& id) {
  for (char16_t c : id)
    if (c < 0x20 || c > 0x7F || c == u',') return false;
  return true;
}

bool ParseDevice(const Json& d, const std::vector<SetupClass>& classes, const std::map<std::u16string, GUID>& ifaces,
                 DeviceNode* n, std::string* error) {
  if (!d.IsObject()) {
    *error = "a device must be an object";
    return false;
  }
  bool has = false;
  n->id = Str(d, "id", &has);
  if (!has || n->id.empty() || n->id.size() >= MAX_DEVICE_ID_LEN) {
    *error = "a device needs an \"id\" of 1 to 199 characters";
    return false;
  }
  std::string where = "device " + Utf8(n->id) + ": ";
  if (!ValidInstanceId(n->id)) {
    *error = where + "an instance ID holds printable ASCII characters other than a comma";
    return false;
  }
  for (auto m = d.MemberBegin(); m != d.MemberEnd(); ++m) {
    const std::string member = m->name.GetString();
    if (std::find(std::begin(kDeviceMembers), std::end(kDeviceMembers), member) == std::end(kDeviceMembers)) {
      *error = where + "unknown member \"" + member + "\"";
      return false;
    }
    if (std::find(std::begin(kTextMembers), std::end(kTextMembers), member) != std::end(kTextMembers) &&
        !m->value.IsString()) {
      *error = where + "\"" + member + "\" must be a string";
      return false;
    }
    if (std::find(std::begin(kFlagMembers), std::end(kFlagMembers), member) != std::end(kFlagMembers) &&
        !m->value.IsBool()) {
      *error = where + "\"" + member + "\" must be true or false";
      return false;
    }
  }
  if (!StringList(d, "hw", &n->hardwareIds, error) || !StringList(d, "compat", &n->compatibleIds, error) ||
      !StringList(d, "upperFilters", &n->upperFilters, error) ||
      !StringList(d, "lowerFilters", &n->lowerFilters, error)) {
    *error = where + *error;
    return false;
  }
  std::u16string cls = Str(d, "class");
  std::u16string clsGuid = Str(d, "classGuid");
  if (!clsGuid.empty()) {
    if (!ParseGuid(Utf8(clsGuid), &n->classGuid)) {
      *error = where + "bad \"classGuid\"";
      return false;
    }
    n->className = cls;
  } else if (!cls.empty()) {
    auto it =
        std::find_if(classes.begin(), classes.end(), [&](const SetupClass& c) { return EqualNoCase(c.name, cls); });
    if (it == classes.end()) {
      *error = where + "unknown class \"" + Utf8(cls) + "\"";
      return false;
    }
    n->classGuid = it->guid;
  }
  n->description = Str(d, "name", &n->hasDescription);
  if (!n->hasDescription) n->description = Str(d, "description", &n->hasDescription);
  n->friendlyName = Str(d, "friendlyName", &n->hasFriendlyName);
  n->service = Str(d, "service");
  n->driver = Str(d, "driver");
  n->mfg = Str(d, "mfg");
  n->location = Str(d, "location");
  n->parent = Str(d, "parent");
  if (!Number(d, "status", &n->status, error) || !Number(d, "problem", &n->problem, error)) {
    *error = where + *error;
    return false;
  }
  if (Bool(d, "root", false)) n->status |= DN_ROOT_ENUMERATED;
  n->known = Bool(d, "known", true);
  // A device never seen is not plugged in either until someone plugs it.
  n->plugged = n->known && Bool(d, "present", true);
  n->inUse = Bool(d, "inUse", false);
  auto delay = d.FindMember("startDelay");
  if (delay != d.MemberEnd()) {
    if (!delay->value.IsUint()) {
      *error = where + "\"startDelay\" must be a number of milliseconds";
      return false;
    }
    n->startDelayMs = delay->value.GetUint();
  }
  n->configDisabled = Bool(d, "disabled", n->problem == CM_PROB_DISABLED);
  std::vector<std::u16string> names;
  if (!StringList(d, "interfaces", &names, error)) {
    *error = where + *error;
    return false;
  }
  for (const auto& name : names) {
    GUID g{};
    auto it = std::find_if(ifaces.begin(), ifaces.end(), [&](const auto& e) { return EqualNoCase(e.first, name); });
    if (it != ifaces.end())
      g = it->second;
    else if (!ParseGuid(Utf8(name), &g)) {
      *error = where + "unknown interface class \"" + Utf8(name) + "\"";
      return false;
    }
    n->interfaces.push_back(g);
  }
  if (!ParseInstaller(Str(d, "installer"), &n->installer)) {
    *error = where + "\"installer\" must be normal, refuse or restart";
    return false;
  }
  return true;
}

void BuiltinInterfaceNames(std::map<std::u16string, GUID>* names) {
  for (const auto& ic : kInterfaceNames) {
    GUID g{};
    ParseGuid(ic.guid, &g);
    (*names)[Utf16(ic.name)] = g;
  }
}

bool ParseInterfaceClasses(const Json* section, std::map<std::u16string, GUID>* names, std::string* error) {
  BuiltinInterfaceNames(names);
  if (!section) return true;
  if (!section->IsArray()) {
    *error = "must be an array";
    return false;
  }
  for (const auto& ic : section->GetArray()) {
    GUID g{};
    auto gm = ic.IsObject() ? ic.FindMember("guid") : ic.MemberEnd();
    if (!ic.IsObject() || gm == ic.MemberEnd() || !gm->value.IsString() || !ParseGuid(gm->value.GetString(), &g) ||
        Str(ic, "name").empty()) {
      *error = "an interface class needs \"name\" and a valid \"guid\"";
      return false;
    }
    (*names)[Str(ic, "name")] = g;
  }
  return true;
}

bool ParseClasses(const Json* section, std::vector<SetupClass>* classes, std::string* error) {
  if (!section) return true;
  if (!section->IsArray()) {
    *error = "must be an array";
    return false;
  }
  for (const auto& c : section->GetArray()) {
    SetupClass sc;
    if (!ParseClass(c, &sc, error)) return false;
    classes->push_back(std::move(sc));
  }
  return true;
}

bool ParseDevices(const Json* section, LoadedTree* t, std::string* error) {
  if (!section) return true;
  if (!section->IsArray()) {
    *error = "must be an array";
    return false;
  }
  for (const auto& d : section->GetArray()) {
    auto n = std::make_unique<DeviceNode>();
    if (!ParseDevice(d, t->classes, t->interfaceNames, n.get(), error)) return false;
    for (const auto& other : t->nodes)
      if (EqualNoCase(other->id, n->id)) {
        *error = "device " + Utf8(n->id) + " is described twice";
        return false;
      }
    t->nodes.push_back(std::move(n));
  }
  // Parent links lead up to the root: a device is never its own ancestor.
  std::map<std::u16string, const DeviceNode*> byId;
  for (const auto& n : t->nodes) byId[UpperCase(n->id)] = n.get();
  for (const auto& n : t->nodes)
    if (!n->parent.empty() && !byId.count(UpperCase(n->parent))) {
      *error = "device " + Utf8(n->id) + ": its parent " + Utf8(n->parent) + " is not described";
      return false;
    }
  for (const auto& n : t->nodes) {
    const DeviceNode* at = n.get();
    for (size_t steps = 0; at && !at->parent.empty(); ++steps) {
      if (steps == t->nodes.size()) {
        *error = "device " + Utf8(n->id) + ": its parents lead back to it";
        return false;
      }
      auto it = byId.find(UpperCase(at->parent));
      at = it == byId.end() ? nullptr : it->second;
    }
  }
  // Below a device never seen, nothing has been seen either.
  for (const auto& n : t->nodes)
    for (const DeviceNode* at = n.get(); n->known && at && !at->parent.empty();) {
      at = byId[UpperCase(at->parent)];
      if (!at->known) n->known = false;
    }
  return true;
}

bool ParseServices(const Json* section, std::vector<std::u16string>* services, std::string* error) {
  if (!section) return true;
  if (!section->IsArray()) {
    *error = "must be an array";
    return false;
  }
  for (const auto& s : section->GetArray()) {
    std::u16string name = s.IsString() ? Utf16(s.GetString()) : s.IsObject() ? Str(s, "name") : u"";
    if (name.empty()) {
      *error = "a service needs a name";
      return false;
    }
    services->push_back(name);
  }
  return true;
}

const Json* Member(const Json& root, const char* key) {
  auto it = root.FindMember(key);
  return it == root.MemberEnd() ? nullptr : &it->value;
}

bool ParseTree(const Json& root, LoadedTree* t, std::string* error) {
  if (!root.IsObject()) {
    *error = "the machine description must be a JSON object";
    return false;
  }
  const char* section = "";
  bool ok =
      (section = "deviceInterfaceClasses", ParseInterfaceClasses(Member(root, section), &t->interfaceNames, error)) &&
      (section = "classes", ParseClasses(Member(root, section), &t->classes, error)) &&
      (section = "devices", ParseDevices(Member(root, section), t, error)) &&
      (section = "services", ParseServices(Member(root, section), &t->services, error));
  if (!ok) *error = std::string("section \"") + section + "\": " + *error;
  return ok;
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

// Sections of a machine description load one at a time, in name order:
// "classes", "deviceInterfaceClasses" and "devices" are parsed into a pending
// tree, and "services" (after "registry", so the class keys it writes survive
// the registry's own commit) installs the whole tree.
std::mutex g_pendingMutex;
LoadedTree g_pending;

const bool kClassesLoader = RegisterSectionLoader(
    "classes", [](const Json* section, const LoadContext&, std::function<void()>*, std::string* error) {
      std::lock_guard<std::mutex> lock(g_pendingMutex);
      g_pending = LoadedTree();
      return ParseClasses(section, &g_pending.classes, error);
    });
const bool kInterfacesLoader = RegisterSectionLoader(
    "deviceInterfaceClasses", [](const Json* section, const LoadContext&, std::function<void()>*, std::string* error) {
      std::lock_guard<std::mutex> lock(g_pendingMutex);
      g_pending.interfaceNames.clear();
      return ParseInterfaceClasses(section, &g_pending.interfaceNames, error);
    });
const bool kDevicesLoader = RegisterSectionLoader(
    "devices", [](const Json* section, const LoadContext&, std::function<void()>*, std::string* error) {
      std::lock_guard<std::mutex> lock(g_pendingMutex);
      g_pending.nodes.clear();
      return ParseDevices(section, &g_pending, error);
    });
const bool kServicesLoader = RegisterSectionLoader(
    "services", [](const Json* section, const LoadContext&, std::function<void()>* commit, std::string* error) {
      std::lock_guard<std::mutex> lock(g_pendingMutex);
      g_pending.services.clear();
      if (!ParseServices(section, &g_pending.services, error)) return false;
      auto tree = std::make_shared<LoadedTree>(std::move(g_pending));
      g_pending = LoadedTree();
      *commit = [tree]() { InstallTree(std::move(*tree)); };
      return true;
    });

}  // namespace

// ---- text helpers ----

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0)
      len = 4, cp = c & 0x07;
    else if (c >= 0xE0)
      len = 3, cp = c & 0x0F;
    else if (c >= 0xC0)
      len = 2, cp = c & 0x1F;
    if (i + len > s.size()) break;
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
  }
  return out;
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size()) cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (cp < 0x80) {
      out.push_back(char(cp));
    } else if (cp < 0x800) {
      out.push_back(char(0xC0 | (cp >> 6)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(char(0xE0 | (cp >> 12)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (cp >> 18)));
      out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string FromW(const WCHAR* text) { return text ? std::u16string(text) : std::u16string(); }

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::u16string UpperCase(std::u16string text) {
  for (auto& c : text) c = Upper(c);
  return text;
}

std::string GuidText(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool ParseGuid(const std::string& text, GUID* guid) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
  std::string hex;
  for (char c : t)
    if (c != '-') {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      hex.push_back(c);
    }
  auto num = [&](size_t pos, size_t len) { return std::strtoul(hex.substr(pos, len).c_str(), nullptr, 16); };
  guid->Data1 = uint32_t(num(0, 8));
  guid->Data2 = uint16_t(num(8, 4));
  guid->Data3 = uint16_t(num(12, 4));
  for (int i = 0; i < 8; ++i) guid->Data4[i] = uint8_t(num(16 + 2 * i, 2));
  return true;
}

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 && std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

// ---- model ----

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

uint64_t ElapsedMs() { return UntrackedMonotonicMs() - g_epochMs; }

namespace {
std::string g_mirrorJournal, g_mirrorStates;  // under the model's mutex

// Appends and replaces with POSIX calls only: the process may be killed at
// any moment, and what was written must be whole.
void MirrorChange(const DeviceJournalEntry& entry) {
  std::string line = entry.instanceId + "\t" + entry.change + "\t" + entry.call + "\n";
  int fd = open(g_mirrorJournal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
  }
  std::string states;
  for (const auto& n : Model().nodes)
    if (!n->removed && n->registered && n->known)
      states += Utf8(n->id) + "\t" + (n->plugged ? "1" : "0") + "\t" + (n->configDisabled ? "1" : "0") + "\t" +
                (n->inUse ? "1" : "0") + "\t" + (n->pendingReboot ? "1" : "0") + "\n";
  std::string temporary = g_mirrorStates + ".tmp";
  fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, states.data(), states.size());
  close(fd);
  if (written == static_cast<ssize_t>(states.size())) rename(temporary.c_str(), g_mirrorStates.c_str());
}
}  // namespace

void Journal(const std::u16string& id, const std::string& change, const std::string& call) {
  Model().journal.push_back({ElapsedMs(), Utf8(id), change, call});
  if (!g_mirrorJournal.empty()) MirrorChange(Model().journal.back());
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
    n.status = (n.status & ~ULONG(DN_STARTED)) | DN_HAS_PROBLEM;
    n.problem = CM_PROB_DISABLED;
    return;
  }
  if (n.problem == CM_PROB_DISABLED) n.problem = 0;
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

int OnDeviceArrival(DeviceChangeObserver observer) {
  std::lock_guard<std::mutex> lock(g_observerMutex);
  g_observers[g_nextObserver] = std::move(observer);
  return g_nextObserver++;
}

void RemoveDeviceArrivalObserver(int token) {
  std::lock_guard<std::mutex> lock(g_observerMutex);
  g_observers.erase(token);
}

void NotifyDeviceChanges(const std::vector<DeviceChange>& changes) {
  std::vector<DeviceChangeObserver> observers;
  {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    for (const auto& o : g_observers) observers.push_back(o.second);
  }
  for (const auto& o : observers) o(changes);
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
  g_epochMs = UntrackedMonotonicMs();
}

bool LoadDevicesSection(const rapidjson::Value& machine, std::string* error) {
  LoadedTree t;
  std::string err;
  if (!ParseTree(machine, &t, &err)) {
    if (error) *error = err;
    return false;
  }
  InstallTree(std::move(t));
  return true;
}

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

void MirrorDeviceChanges(const std::string& journalPath, const std::string& statesPath) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  g_mirrorJournal = statesPath.empty() ? std::string() : journalPath;
  g_mirrorStates = statesPath;
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

bool LoadDeviceTreeJson(const std::string& machineJson, std::string* error) {
  // The process's machine is loaded on first use; loading it after this call
  // would replace the tree given here.
  EnsureMachine();
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(machineJson.c_str());
  if (doc.HasParseError()) {
    if (error) *error = "machine JSON does not parse";
    return false;
  }
  return LoadDevicesSection(doc, error);
}

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
    ApplyConfiguration(*n);
    Journal(n->id, "configuration applied at restart", "RebootMachine");
  }
  UpdatePresence("RebootMachine");
  m.shutdownPrivilegeEnabled = false;
}

void SetShutdownPrivilegeHeld(bool held) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  m.shutdownPrivilegeHeld = held;
}

std::vector<DeviceJournalEntry> DeviceJournal() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  return m.journal;
}

void ClearDeviceJournal() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  m.journal.clear();
}

std::vector<ExitWindowsRecord> ExitWindowsCalls() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  return m.exitWindows;
}

}  // namespace winsim
