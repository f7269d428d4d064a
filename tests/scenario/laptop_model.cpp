#include "laptop_model.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <random>

namespace model {

namespace {

const char kUsbClass[] = "36fc9e60-c465-11cf-8056-444553540000";
const char kWpdClass[] = "eec5ad98-8080-425f-922a-dabf3de3f69a";
const char kOtherClass[] = "ffffffff-ffff-ffff-ffff-ffffffffffff";
const char kPortable[] = "eeeeeeee-eeee-eeee-eeee-eeeeeeeeeeee";
const char kNoDefinition[] = "FFFFFFFF-FFFFFFFF-FFFFFFFF-FFFFFFFF";

// The controlled setup classes, USB (kUsbClass) first and WPD (kWpdClass) last.
const std::set<std::string> kControlled = {
    "36fc9e60-c465-11cf-8056-444553540000", "4d36e978-e325-11ce-bfc1-08002be10318",
    "4d36e96d-e325-11ce-bfc1-08002be10318", "4d36e980-e325-11ce-bfc1-08002be10318",
    "4d36e965-e325-11ce-bfc1-08002be10318", "4d36e967-e325-11ce-bfc1-08002be10318",
    "4d36e970-e325-11ce-bfc1-08002be10318", "4d36e977-e325-11ce-bfc1-08002be10318",
    "50dd5230-ba8a-11d1-bf5d-0000f805f530", "53d29ef7-377c-4d14-864b-eb3a85769359",
    "6bdd1fc1-810f-11d0-bec7-08002be2092f", "6bdd1fc5-810f-11d0-bec7-08002be2092f",
    "6bdd1fc6-810f-11d0-bec7-08002be2092f", "a0a588a4-c46f-4b37-b7ea-c82fe89870c6",
    "e0cbf06c-cd8b-4647-bb8a-263b43f0f974", "25dbce51-6c8f-4a72-8a6d-b54c2b4fc835",
    "eec5ad98-8080-425f-922a-dabf3de3f69a"};

// Never controlled (USB only for host controllers and hubs, see Excluded).
const std::set<std::string> kExcludedClasses = {
    "50127dc3-0f36-415e-a6cc-4cb3be910b65", "4d36e97b-e325-11ce-bfc1-08002be10318",
    "8ecc055d-047f-11d1-a537-0000f8753ed1", "4d36e968-e325-11ce-bfc1-08002be10318",
    "4d36e96b-e325-11ce-bfc1-08002be10318", "4d36e96f-e325-11ce-bfc1-08002be10318",
    "4d36e97d-e325-11ce-bfc1-08002be10318", "72631e54-78a4-11d0-bcf7-00aa00b7b32a",
    "4d36e96e-e325-11ce-bfc1-08002be10318", "745a17a0-74d3-11d0-b6fe-00a0c90f57da",
    "4d36e96c-e325-11ce-bfc1-08002be10318", "71a27cdd-812a-11d0-bec7-08002be2092f",
    "4d36e96a-e325-11ce-bfc1-08002be10318", "4d36e972-e325-11ce-bfc1-08002be10318"};

// Class definitions (type, ID); the portable sentinel stands for WPD.
const std::vector<std::pair<std::string, std::string>> kClassDefinitions = {
    {kUsbClass, "CLS-USB"},
    {"4d36e967-e325-11ce-bfc1-08002be10318", "CLS-DISK"},
    {kPortable, "CLS-PORTABLE"},
    {"e0cbf06c-cd8b-4647-bb8a-263b43f0f974", "CLS-BLUETOOTH"},
    {"6bdd1fc6-810f-11d0-bec7-08002be2092f", "CLS-IMAGE"},
    {"4d36e978-e325-11ce-bfc1-08002be10318", "CLS-PORTS"},
    {"4d36e965-e325-11ce-bfc1-08002be10318", "CLS-CDROM"},
    {"50dd5230-ba8a-11d1-bf5d-0000f805f530", "CLS-SMARTCARD"},
    {kOtherClass, "CLS-OTHER"}};

const char kSanDiskDisk[] = "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230101108154&0";
const char kSanDiskStick[] = "USB\\VID_0781&PID_5567\\4C530001230101108154";
const char kPhoneMtp[] = "USB\\VID_04E8&PID_6860&MS_COMP_MTP&SAMSUNG_ANDROID\\6&3B2A1C0D&0&0000";
const char kCameraFunction[] = "USB\\VID_04F2&PID_B6DD&MI_00\\6&1F3E2D1C&0&0000";
const char kSerial[] = "USB\\VID_1A86&PID_7523\\5&1C2B3A4D&0&3";
const char kRadio[] = "USB\\VID_8087&PID_0026\\5&1C2B3A4D&0&10";
const char kDvd[] = "SCSI\\CDROM&VEN_HL-DT-ST&PROD_DVD+-RW_GU90N\\4&2C2A9F1&0&000100";
const char kCardReader[] = "USB\\VID_076B&PID_3031\\5&1C2B3A4D&0&4";

// Devices with a definition of their own, after the class ones: their own ID
// comes last and decides.
const std::vector<std::string> kOwnDefinitions = {kSanDiskDisk, kPhoneMtp, kCameraFunction, kSerial, kSanDiskStick};

// Devices whose class installer a plan makes refuse or ask for a restart.
const std::vector<std::string> kInstallerTargets = {kSanDiskDisk, kSanDiskStick,   kPhoneMtp, kSerial,
                                                    kRadio,       kCameraFunction, kDvd,      kCardReader};

// Devices someone else switches off and on: parents of input devices, hubs,
// sticks and a camera.
const std::vector<std::string> kUserTargets = {
    "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2",  // the receiver with its keyboard and mouse
    "USB\\VID_046D&PID_0A44\\6&3E1F5C2A&0&2",  // the headset
    "USB\\VID_05E3&PID_0610\\5&1C2B3A4D&0&1",  // a hub
    "USB\\VID_04F2&PID_B6DD\\5&1C2B3A4D&0&5",  // the camera's composite device
    kSanDiskStick,                             // the SanDisk stick
    "USB\\VID_04E8&PID_6860\\R58M12ABCDE"};    // the phone

// Volumes whose files someone opens: their disks cannot stop until a restart.
const std::vector<std::string> kInUseTargets = {
    "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00#4C530001230101108154&0#{53F56307-B6BF-"
    "11D0-94F2-00A0C91EFB8B}",
    "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_SAMSUNG&PROD_FLASH_DRIVE&REV_1100#0374722050003386&0#{53F56307-B6BF-11D0-"
    "94F2-00A0C91EFB8B}"};

// Calls at which a kill stops the agent mid-pass: the file being replaced, a
// device changing, the inventory, a status read.
const std::vector<std::string> kKillCalls = {
    "MoveFileExA",          "WriteFile", "FlushFileBuffers", "SetupDiCallClassInstaller", "SetupDiGetClassDevsExW",
    "CM_Get_DevNode_Status"};

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::string JsonEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

const char* BehaviourName(Behaviour b) {
  return b == Behaviour::Normal ? "normal" : b == Behaviour::Refuse ? "refuse" : "restart";
}

}  // namespace

Laptop::Laptop(const std::string& machineJson) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(machineJson.c_str());
  if (doc.HasParseError() || !doc.IsObject()) return;
  std::map<std::string, std::string> classes;
  for (const auto& c : doc["classes"].GetArray()) classes[c["name"].GetString()] = Lower(c["guid"].GetString());
  for (const auto& d : doc["devices"].GetArray()) {
    Device device;
    device.id = d["id"].GetString();
    if (d.HasMember("class")) device.classGuid = classes[d["class"].GetString()];
    if (d.HasMember("name")) device.name = d["name"].GetString();
    if (d.HasMember("status"))
      device.status = d["status"].IsString() ? static_cast<uint32_t>(std::stoul(d["status"].GetString(), nullptr, 16))
                                             : d["status"].GetUint();
    if (d.HasMember("problem")) device.problem = d["problem"].GetUint();
    if (d.HasMember("present")) device.present = d["present"].GetBool();
    if (d.HasMember("known")) device.known = d["known"].GetBool();
    device.present = device.present && device.known;
    if (d.HasMember("parent")) device.parent = d["parent"].GetString();
    for (const char* key : {"hw", "compat"})
      if (d.HasMember(key))
        for (const auto& i : d[key].GetArray()) device.ids.push_back(i.GetString());
    if (d.HasMember("interfaces"))
      for (const auto& i : d["interfaces"].GetArray()) device.interfaces.push_back(i.GetString());
    devices_.push_back(device);
  }
}

bool Device::Input() const {
  for (const std::string& i : interfaces)
    if (i == "Keyboard" || i == "Mouse" || i == "HID") return true;
  return classGuid == "4d36e96b-e325-11ce-bfc1-08002be10318" || classGuid == "4d36e96f-e325-11ce-bfc1-08002be10318" ||
         classGuid == "745a17a0-74d3-11d0-b6fe-00a0c90f57da";
}

bool Device::Hub() const {
  for (const std::string& i : interfaces)
    if (i == "USB hub") return true;
  for (const std::string& id : ids)
    if (StartsWith(Lower(id), "usb\\class_09") || StartsWith(Lower(id), "usb\\root_hub")) return true;
  return false;
}

// A Bluetooth network runs over the radio it would guard: it guards nothing.
bool Device::Net() const {
  if (classGuid != "4d36e972-e325-11ce-bfc1-08002be10318") return false;
  for (const std::string& id : ids)
    if (id.compare(0, 4, "BTH\\") == 0) return false;
  return true;
}

bool Laptop::Guarded(const std::string& id) const {
  const Device* self = Find(id);
  if (self != nullptr && self->Hub()) return true;
  std::vector<std::string> below = Subtree(id);
  for (size_t i = 1; i < below.size(); ++i) {
    const Device* d = Find(below[i]);
    if (d->Input() || d->Hub() || d->Net()) return true;
  }
  return false;
}

const Device* Laptop::Find(const std::string& id) const {
  for (const Device& d : devices_)
    if (d.id == id) return &d;
  return nullptr;
}

std::vector<std::string> Laptop::Subtree(const std::string& id) const {
  std::vector<std::string> ids{id};
  for (size_t i = 0; i < ids.size(); ++i)
    for (const Device& d : devices_)
      if (d.parent == ids[i]) ids.push_back(d.id);
  return ids;
}

bool Laptop::Excluded(const Device& d) {
  if (d.classGuid == kUsbClass)
    return StartsWith(d.id, "PCI\\VEN_") || StartsWith(d.id, "USB\\ROOT_HUB") || d.name == "Generic USB Hub";
  return kExcludedClasses.count(d.classGuid) != 0;
}

std::vector<std::string> Laptop::StrategyIds(const Device& d) const {
  std::string cls = kControlled.count(d.classGuid) ? d.classGuid : kOtherClass;
  std::vector<std::string> ids;
  for (const auto& def : kClassDefinitions)
    if (def.first == cls || (def.first == kPortable && cls == kWpdClass)) ids.push_back(def.second);
  for (size_t i = 0; i < kOwnDefinitions.size(); ++i)
    if (kOwnDefinitions[i] == d.id) ids.push_back("DEV-" + std::to_string(i));
  if (ids.empty()) ids.push_back(kNoDefinition);
  return ids;
}

std::string Event::Describe() const {
  switch (kind) {
    case Installer: return std::string("installer ") + BehaviourName(behaviour) + " " + target;
    case Plug: return "plug " + target;
    case Unplug: return "unplug " + target;
    case UserOff: return "someone disables " + target;
    case UserOn: return "someone enables " + target;
    case InUse: return std::string(behaviour == Behaviour::Normal ? "closes " : "opens ") + target;
    case Strategies: return target.empty() ? "device strategies back" : "no device strategy (" + target + ")";
    case LibraryBack: return "the policy library answers again";
    default: return "toggle " + target;
  }
}

std::string Batch::Describe() const {
  if (kind == Restart) return "restart";
  if (kind == UninstallAtStart) return "start while uninstalling";
  if (kind == OutageAtStart) return "start while the policy library cannot be loaded";
  std::string text = kind == Uninstall ? "uninstall" : "";
  for (const Event& e : events) text += (text.empty() ? "" : "; ") + e.Describe();
  if (kind == Kill) text += "; killed at call " + std::to_string(killAt) + " of " + killCall;
  return text;
}

void PlanState::Apply(const Batch& batch) {
  // The uninstaller waits for well-behaved installers.
  if (batch.kind == Batch::Uninstall || batch.kind == Batch::UninstallAtStart) installers.clear();
  if (batch.kind == Batch::OutageAtStart) outage = true;
  auto set = [](std::set<std::string>& s, const std::string& id, bool in) { in ? s.insert(id).second : s.erase(id); };
  for (const Event& e : batch.events) {
    switch (e.kind) {
      case Event::Installer:
        installers[e.target] = e.behaviour;
        if (e.behaviour == Behaviour::Normal) installers.erase(e.target);
        break;
      case Event::Plug:
      case Event::Unplug: set(present, e.target, e.kind == Event::Plug); break;
      case Event::UserOff:
      case Event::UserOn: set(userOff, e.target, e.kind == Event::UserOff); break;
      case Event::InUse: set(inUse, e.target, e.behaviour != Behaviour::Normal); break;
      case Event::Toggle:
        if (!forbidden.erase(e.target)) forbidden.insert(e.target);
        ++revision;
        break;
      case Event::Strategies:
        noStrategy = !e.target.empty();
        policyGone = e.target == "gone";
        ++revision;
        break;
      case Event::LibraryBack: outage = false; break;
    }
  }
}

std::vector<std::vector<Batch>> MakePlan(const Laptop& laptop, uint64_t seed, int events) {
  std::mt19937_64 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(std::uniform_int_distribution<size_t>(0, n - 1)(rng)); };
  // Roots a user plugs in or pulls out, and every ID a plan may forbid.
  std::vector<std::string> roots, ids;
  for (const Device& d : laptop.Devices())
    if (!d.present && d.parent.empty()) roots.push_back(d.id);
  for (const auto& def : kClassDefinitions) ids.push_back(def.second);
  for (size_t i = 0; i < kOwnDefinitions.size(); ++i) ids.push_back("DEV-" + std::to_string(i));
  // A plug of a root is announced when a device it brings has an interface.
  auto announced = [&](const std::string& root) {
    for (const std::string& id : laptop.Subtree(root))
      if (!laptop.Find(id)->interfaces.empty()) return true;
    return false;
  };
  std::vector<std::string> volumes;
  for (const std::string& v : kInUseTargets)
    if (laptop.Find(v)) volumes.push_back(v);
  std::vector<std::vector<Batch>> segments(1);
  PlanState state;
  int count = 0;
  while (count < events) {
    Batch batch;
    size_t roll = pick(100);
    if (roll < 5 && !segments.back().empty()) {
      batch.kind = Batch::Restart;
    } else if (roll < 7 && !segments.back().empty()) {
      batch.kind = Batch::Uninstall;
    } else if (roll < 8 && !segments.back().empty()) {
      // The next run starts while the agent is being uninstalled.
      segments.emplace_back();
      state.outage = false;
      batch.kind = Batch::UninstallAtStart;
    } else if (roll < 10 && !segments.back().empty()) {
      // The next run starts while an update replaces the policy library.
      segments.emplace_back();
      batch.kind = Batch::OutageAtStart;
      state.Apply(batch);
    } else {
      if (roll < 14 && !segments.back().empty()) {
        batch.kind = Batch::Kill;
        batch.killCall = kKillCalls[pick(kKillCalls.size())];
        batch.killAt = static_cast<int>(1 + pick(40));
      }
      std::set<std::string> steered;  // one behaviour per installer and batch
      for (size_t quiet = pick(4); quiet > 0; --quiet) {
        Event e;
        size_t what = pick(10);
        if (state.outage && what == 0) {
          e.kind = Event::LibraryBack;
        } else if (what < 4) {
          e.kind = Event::Installer;
          e.target = kInstallerTargets[pick(kInstallerTargets.size())];
          if (!steered.insert(e.target).second) continue;
          size_t b = pick(4);
          e.behaviour = b < 2 ? Behaviour::Normal : b == 2 ? Behaviour::Refuse : Behaviour::Restart;
        } else if (what < 6) {
          e.target = kUserTargets[pick(kUserTargets.size())];
          if (!laptop.Find(e.target)) continue;
          e.kind = state.userOff.count(e.target) ? Event::UserOn : Event::UserOff;
        } else if (what < 7 && !volumes.empty()) {
          e.kind = Event::InUse;
          e.target = volumes[pick(volumes.size())];
          e.behaviour = state.inUse.count(e.target) ? Behaviour::Normal : Behaviour::Restart;
        } else {
          e.target = roots[pick(roots.size())];
          bool plugged = state.present.count(e.target) != 0;
          // A root without an announced arrival (the user-disabled stick) is
          // plugged quietly; the others only as the batch's last event.
          if (!plugged && announced(e.target)) continue;
          e.kind = plugged ? Event::Unplug : Event::Plug;
        }
        batch.events.push_back(e);
        state.Apply(Batch{Batch::Normal, {e}, "", 0});
      }
      Event wake;
      std::vector<std::string> pluggable;
      for (const std::string& r : roots)
        if (!state.present.count(r) && announced(r)) pluggable.push_back(r);
      size_t how = pick(20);
      if (!pluggable.empty() && how < 8) {
        wake.kind = Event::Plug;
        wake.target = pluggable[pick(pluggable.size())];
      } else if (how < 10) {
        wake.kind = Event::Strategies;
        wake.target = state.noStrategy ? "" : how == 8 ? "none" : "gone";
      } else {
        wake.kind = Event::Toggle;
        wake.target = ids[pick(ids.size())];
      }
      batch.events.push_back(wake);
      state.Apply(Batch{Batch::Normal, {wake}, "", 0});
    }
    if (batch.kind == Batch::Uninstall || batch.kind == Batch::UninstallAtStart) state.installers.clear();
    count += batch.events.empty() ? 1 : static_cast<int>(batch.events.size());
    if (batch.kind == Batch::Restart) {
      segments.emplace_back();
      state.outage = false;
      continue;
    }
    segments.back().push_back(batch);
    if (batch.kind == Batch::Uninstall || batch.kind == Batch::UninstallAtStart || batch.kind == Batch::Kill) {
      segments.emplace_back();
      state.outage = false;
    }
  }
  if (segments.back().empty()) segments.pop_back();
  return segments;
}

std::string PolicyText(const Laptop& laptop, const PlanState& state) {
  auto strategy = [&](int id, const std::string& conditions, const char* method) {
    return R"({"id": )" + std::to_string(id) + R"(, "type": "0x10030001", "sessions": "*", )" + conditions +
           R"("value": {"rev": ")" + std::to_string(state.revision) + R"("}, "action": {"processMethod_10": ")" +
           method + R"(", "logType_10": "auditLog", "needTip_10": "true"}})";
  };
  std::string text = R"({"strategies": [)", ids;
  for (const std::string& id : state.forbidden) ids += (ids.empty() ? "\"" : ", \"") + id + "\"";
  // No strategy at all: the definitions stay, as an administrator's edit would leave them.
  if (!state.noStrategy && !ids.empty())
    text += strategy(1001, R"("conditions": {"deviceId_10": [)" + ids + "]}, ", "forbid") + ", ";
  if (!state.noStrategy) text += strategy(1002, "", "allow");
  text += "],\n\"sysParams\": {\"0x20060001\": [";
  auto definition = [&](const std::string& type, const std::string& pattern, const std::string& id) {
    text += std::string(text.back() == '[' ? "" : ",\n") + "{\"deviceName_10\": \"" + id + "\", \"deviceType_10\": \"" +
            type + "\", \"deviceInstance_10\": \"" + JsonEscape(pattern) + "\", \"deviceId_10\": \"" + id + "\"}";
  };
  for (const auto& def : kClassDefinitions) definition(def.first, "*", def.second);
  for (size_t i = 0; i < kOwnDefinitions.size(); ++i) {
    const Device* d = laptop.Find(kOwnDefinitions[i]);
    std::string cls = kControlled.count(d->classGuid) ? d->classGuid : kOtherClass;
    definition(cls, d->id, "DEV-" + std::to_string(i));
  }
  return text + "]}}";
}

}  // namespace model
