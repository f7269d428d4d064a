// The device sections of a machine description ("deviceInterfaceClasses",
// "classes", "devices", "services"): parsed whole into a LoadedTree before
// anything of the machine changes, so a malformed description leaves the old
// machine as it was.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <rapidjson/document.h>

#include "devices.h"
#include "interface_names.h"

namespace winsim {
namespace internal {

namespace {

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
const std::string kDeviceMembers[] = {"id",           "hw",           "compat",  "class",     "classGuid",  "name",
                                      "description",  "friendlyName", "service", "driver",    "mfg",        "location",
                                      "upperFilters", "lowerFilters", "status",  "problem",   "root",       "present",
                                      "disabled",     "interfaces",   "parent",  "installer", "startDelay", "inUse",
                                      "note",         "known"};
// Members that are text, and members that are true or false: another type is
// a mistake ("present": "false" would otherwise read as present).
const std::string kTextMembers[] = {"id",      "class",  "classGuid", "name",     "description", "friendlyName",
                                    "service", "driver", "mfg",       "location", "parent",      "installer"};
const std::string kFlagMembers[] = {"root", "present", "disabled", "inUse", "known"};

// The Plug and Play manager's rule for instance IDs: printable ASCII, no comma.
bool ValidInstanceId(const std::u16string& id) {
  for (char16_t c : id)
    if (c < 0x20 || c > 0x7F || c == u',') return false;
  return true;
}

}  // namespace

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

namespace {

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
  // By upper-cased ID: a second entry of an ID (in any case) is found at once,
  // not by a walk of every entry before it, and parents without a walk either.
  std::unordered_map<std::u16string, const DeviceNode*> byId;
  for (const auto& d : section->GetArray()) {
    auto n = std::make_unique<DeviceNode>();
    if (!ParseDevice(d, t->classes, t->interfaceNames, n.get(), error)) return false;
    if (!byId.emplace(UpperCase(n->id), n.get()).second) {
      *error = "device " + Utf8(n->id) + " is described twice";
      return false;
    }
    t->nodes.push_back(std::move(n));
  }
  // Parent links lead up to the root: a device is never its own ancestor.
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

}  // namespace internal

// ---- control API ----

using namespace internal;

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

}  // namespace winsim
