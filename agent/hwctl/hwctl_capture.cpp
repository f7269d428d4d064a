// hwctl capture: reads the device tree through SetupAPI and cfgmgr32 and
// writes it in the machine-description format. Win32 calls only, so the same
// code reads a real Windows machine, Wine's and winsim's.
#include "hwctl_capture.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "common/util/WString.h"
#include "platform/interface_names.h"
#include "common/util/GuidText.h"
#include "platform/winapi.h"

namespace {

#ifndef CONFIGFLAG_DISABLED
#define CONFIGFLAG_DISABLED 0x00000001
#endif
#ifndef CM_DEVCAP_REMOVABLE
#define CM_DEVCAP_REMOVABLE 0x00000004
#endif
const ULONG kProblemDisabled = 22;  // CM_PROB_DISABLED
const DWORD kErrorNotFound = 1168;  // ERROR_NOT_FOUND: a property the device does not have

std::string Utf8(const WCHAR* text, size_t units) {
  if (text == nullptr || units == 0) return std::string();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), &out[0], bytes, nullptr, nullptr);
  return out;
}

std::string Utf8(const WCHAR* text) {
  size_t units = 0;
  while (text != nullptr && text[units] != 0) ++units;
  return Utf8(text, units);
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool ParseGuid(const std::string& text, GUID* guid) {
  WString braced = AnsiToWide(text.front() == '{' ? text : "{" + text + "}");
  return CLSIDFromString(const_cast<WCHAR*>(braced.c_str()), guid) == 0;
}

std::string Hex(unsigned value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

// Splits a REG_MULTI_SZ block (UTF-16 bytes) into its strings.
std::vector<std::string> MultiStrings(const std::vector<BYTE>& bytes) {
  std::vector<std::string> out;
  std::vector<WCHAR> units(bytes.size() / sizeof(WCHAR) + 1, 0);
  memcpy(units.data(), bytes.data(), bytes.size() / sizeof(WCHAR) * sizeof(WCHAR));
  for (size_t at = 0; at < units.size() && units[at] != 0;) {
    size_t end = at;
    while (end < units.size() && units[end] != 0) ++end;
    out.push_back(Utf8(units.data() + at, end - at));
    at = end + 1;
  }
  return out;
}

std::string SingleString(const std::vector<BYTE>& bytes) {
  std::vector<std::string> parts = MultiStrings(bytes);
  return parts.empty() ? std::string() : parts.front();
}

// One device property. 0 and the bytes, ERROR_INVALID_DATA when the device
// has none, another error when it could not be read.
DWORD ReadProperty(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property, std::vector<BYTE>* bytes) {
  bytes->assign(256, 0);
  // A property can grow between the two calls: ask again with the new size.
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD type = 0, required = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, data, property, &type, bytes->data(), static_cast<DWORD>(bytes->size()),
                                          &required)) {
      bytes->resize(std::min<size_t>(required, bytes->size()));
      return 0;
    }
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || required == 0 || required > (1u << 20)) return error;
    bytes->assign(required, 0);
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

struct Device {
  std::string id;
  std::vector<std::string> hw, compat, upperFilters, lowerFilters, interfaces, gaps;
  GUID classGuid{};
  bool hasClass = false;
  std::string className;                     // SPDRP_CLASS, for a class the class list lacks
  std::map<std::string, std::string> texts;  // "name", "friendlyName", "service", ...
  std::string parent;
  bool present = false;
  bool configDisabled = false;
  bool removable = false;
  ULONG status = 0, problem = 0;
};

struct Class {
  GUID guid{};
  std::string name, description;
  std::vector<std::string> upperFilters, lowerFilters;
  bool noInstall = false, noDisplay = false;
};

std::vector<GUID> ClassList(DWORD flags) {
  std::vector<GUID> guids(256);
  DWORD required = 0;
  if (!SetupDiBuildClassInfoListExW(flags, guids.data(), static_cast<DWORD>(guids.size()), &required, nullptr,
                                    nullptr)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return {};
    guids.resize(required);
    if (!SetupDiBuildClassInfoListExW(flags, guids.data(), required, &required, nullptr, nullptr)) return {};
  }
  guids.resize(std::min<size_t>(required, guids.size()));
  return guids;
}

std::vector<std::string> ClassFilters(HKEY key, const WCHAR* value) {
  std::vector<BYTE> bytes(1024);
  DWORD type = 0, size = static_cast<DWORD>(bytes.size());
  LSTATUS rc = RegQueryValueExW(key, value, nullptr, &type, bytes.data(), &size);
  if (rc == ERROR_MORE_DATA) {
    bytes.resize(size);
    rc = RegQueryValueExW(key, value, nullptr, &type, bytes.data(), &size);
  }
  if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ) return {};
  bytes.resize(std::min<size_t>(size, bytes.size()));
  return MultiStrings(bytes);
}

Class ReadClass(const GUID& guid, const std::vector<GUID>& installable, const std::vector<GUID>& displayed) {
  Class c;
  c.guid = guid;
  WCHAR text[256] = {};
  DWORD required = 0;
  if (SetupDiClassNameFromGuidExW(&guid, text, 255, &required, nullptr, nullptr)) c.name = Utf8(text);
  memset(text, 0, sizeof(text));
  if (SetupDiGetClassDescriptionExW(&guid, text, 255, &required, nullptr, nullptr)) c.description = Utf8(text);
  HKEY key = SetupDiOpenClassRegKeyExW(&guid, KEY_READ, DIOCR_INSTALLER, nullptr, nullptr);
  if (key != INVALID_HANDLE_VALUE && key != nullptr) {
    c.upperFilters = ClassFilters(key, WIDE("UpperFilters"));
    c.lowerFilters = ClassFilters(key, WIDE("LowerFilters"));
    RegCloseKey(key);
  }
  auto listed = [&](const std::vector<GUID>& list) {
    return std::any_of(list.begin(), list.end(), [&](const GUID& g) { return memcmp(&g, &guid, sizeof g) == 0; });
  };
  c.noInstall = !listed(installable);
  c.noDisplay = !listed(displayed);
  return c;
}

// Interface classes to look for: the named ones, and on Windows every class
// the machine has registered interfaces of.
std::vector<std::pair<std::string, GUID>> InterfaceClasses() {
  std::vector<std::pair<std::string, GUID>> classes;
  std::set<std::string> seen;
  for (const auto& named : kInterfaceNames) {
    GUID g{};
    if (ParseGuid(named.guid, &g)) classes.emplace_back(named.name, g);
    seen.insert(named.guid);
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WIDE("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses"), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return classes;
  for (DWORD i = 0;; ++i) {
    WCHAR name[128] = {};
    DWORD length = 127;
    if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::string text = Lower(Utf8(name));
    if (text.size() == 38) text = text.substr(1, 36);
    GUID g{};
    if (seen.insert(text).second && ParseGuid(text, &g)) classes.emplace_back(text, g);
  }
  RegCloseKey(key);
  return classes;
}

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA* data) {
  WCHAR id[512] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, data, id, 511, nullptr)) return std::string();
  return Utf8(id);
}

Device ReadDevice(HDEVINFO set, SP_DEVINFO_DATA* data) {
  Device d;
  d.id = InstanceId(set, data);
  std::vector<BYTE> bytes;
  auto gap = [&](const char* what, DWORD error) {
    if (error != 0 && error != ERROR_INVALID_DATA && error != kErrorNotFound && error != ERROR_FILE_NOT_FOUND)
      d.gaps.push_back(std::string(what) + " (error " + std::to_string(error) + ")");
  };
  const struct {
    DWORD property;
    std::vector<std::string> Device::*list;
    const char* what;
  } lists[] = {{SPDRP_HARDWAREID, &Device::hw, "hardware IDs"},
               {SPDRP_COMPATIBLEIDS, &Device::compat, "compatible IDs"},
               {SPDRP_UPPERFILTERS, &Device::upperFilters, "upper filters"},
               {SPDRP_LOWERFILTERS, &Device::lowerFilters, "lower filters"}};
  for (const auto& l : lists) {
    DWORD error = ReadProperty(set, data, l.property, &bytes);
    if (error == 0) d.*l.list = MultiStrings(bytes);
    gap(l.what, error);
  }
  const struct {
    DWORD property;
    const char* member;
  } texts[] = {{SPDRP_DEVICEDESC, "name"}, {SPDRP_FRIENDLYNAME, "friendlyName"},
               {SPDRP_SERVICE, "service"}, {SPDRP_DRIVER, "driver"},
               {SPDRP_MFG, "mfg"},         {SPDRP_LOCATION_INFORMATION, "location"}};
  for (const auto& t : texts) {
    DWORD error = ReadProperty(set, data, t.property, &bytes);
    if (error == 0) d.texts[t.member] = SingleString(bytes);
    gap(t.member, error);
  }
  const GUID none{};
  d.hasClass = memcmp(&data->ClassGuid, &none, sizeof(GUID)) != 0;
  d.classGuid = data->ClassGuid;
  if (ReadProperty(set, data, SPDRP_CLASS, &bytes) == 0) d.className = SingleString(bytes);
  DWORD error = ReadProperty(set, data, SPDRP_CONFIGFLAGS, &bytes);
  if (error == 0 && bytes.size() >= sizeof(DWORD)) {
    DWORD flags = 0;
    memcpy(&flags, bytes.data(), sizeof(flags));
    d.configDisabled = (flags & CONFIGFLAG_DISABLED) != 0;
  }
  gap("configuration flags", error);
  if (ReadProperty(set, data, SPDRP_CAPABILITIES, &bytes) == 0 && bytes.size() >= sizeof(DWORD)) {
    DWORD caps = 0;
    memcpy(&caps, bytes.data(), sizeof(caps));
    d.removable = (caps & CM_DEVCAP_REMOVABLE) != 0;
  }

  DEVINST parent = 0;
  WCHAR parentId[512] = {};
  CONFIGRET cr = CM_Get_Parent(&parent, data->DevInst, 0);
  if (cr == CR_SUCCESS && CM_Get_Device_IDW(parent, parentId, 511, 0) == CR_SUCCESS) {
    d.parent = Utf8(parentId);
    // The root of the tree is nobody's parent in a description.
    if (Upper(d.parent).rfind("HTREE\\ROOT", 0) == 0) d.parent.clear();
  } else if (cr != CR_SUCCESS && cr != CR_NO_SUCH_DEVNODE) {
    d.gaps.push_back("parent (CONFIGRET " + std::to_string(cr) + ")");
  }
  cr = CM_Get_DevNode_Status(&d.status, &d.problem, data->DevInst, 0);
  d.present = cr == CR_SUCCESS;
  if (!d.present) {
    if (cr != CR_NO_SUCH_DEVNODE) d.gaps.push_back("status (CONFIGRET " + std::to_string(cr) + ")");
    // Windows keeps no status for a device that is not there: assume a
    // started, disableable device, removable if its capabilities say so,
    // off if its configuration disables it.
    d.status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER | DN_DISABLEABLE;
    if (d.removable) d.status |= DN_REMOVABLE;
    if (Upper(d.id).rfind("ROOT\\", 0) == 0) d.status |= DN_ROOT_ENUMERATED;
    d.problem = 0;
    if (d.configDisabled) {
      d.status = (d.status & ~static_cast<ULONG>(DN_STARTED)) | DN_HAS_PROBLEM;
      d.problem = kProblemDisabled;
    }
  }
  return d;
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void WriteList(Writer& w, const char* key, const std::vector<std::string>& list) {
  if (list.empty()) return;
  w.Key(key);
  w.StartArray();
  for (const std::string& s : list) w.String(s.c_str(), static_cast<rapidjson::SizeType>(s.size()));
  w.EndArray();
}

void WriteText(Writer& w, const char* key, const std::string& text) {
  w.Key(key);
  w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
}

std::string ClassJson(const Class& c) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  WriteText(w, "name", c.name);
  WriteText(w, "guid", GuidText(c.guid));
  if (!c.description.empty()) WriteText(w, "description", c.description);
  WriteList(w, "upperFilters", c.upperFilters);
  WriteList(w, "lowerFilters", c.lowerFilters);
  if (c.noInstall) w.Key("noInstallClass"), w.Bool(true);
  if (c.noDisplay) w.Key("noDisplayClass"), w.Bool(true);
  w.EndObject();
  return buffer.GetString();
}

std::string DeviceJson(const Device& d, const std::map<std::string, std::string>& classNames) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  WriteText(w, "id", d.id);
  WriteList(w, "hw", d.hw);
  WriteList(w, "compat", d.compat);
  if (d.hasClass) {
    auto named = classNames.find(GuidText(d.classGuid));
    if (named != classNames.end()) {
      WriteText(w, "class", named->second);
    } else {
      if (!d.className.empty()) WriteText(w, "class", d.className);
      WriteText(w, "classGuid", GuidText(d.classGuid));
    }
  }
  for (const char* member : {"name", "friendlyName", "service", "driver", "mfg", "location"}) {
    auto text = d.texts.find(member);
    if (text != d.texts.end()) WriteText(w, member, text->second);
  }
  WriteList(w, "upperFilters", d.upperFilters);
  WriteList(w, "lowerFilters", d.lowerFilters);
  WriteText(w, "status", Hex(d.status));
  if (d.problem != 0) w.Key("problem"), w.Uint(d.problem);
  if (!d.present) w.Key("present"), w.Bool(false);
  // The description's default is "disabled when problem 22".
  if (d.configDisabled != (d.problem == kProblemDisabled)) w.Key("disabled"), w.Bool(d.configDisabled);
  WriteList(w, "interfaces", d.interfaces);
  if (!d.parent.empty()) WriteText(w, "parent", d.parent);
  std::string note;
  if (!d.present) note = "not present when captured: its status is assumed";
  if (!d.gaps.empty()) {
    note += note.empty() ? "not read: " : "; not read: ";
    for (size_t i = 0; i < d.gaps.size(); ++i) note += (i ? ", " : "") + d.gaps[i];
  }
  if (!note.empty()) WriteText(w, "note", note);
  w.EndObject();
  return buffer.GetString();
}

std::string JsonString(const std::string& text) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

}  // namespace

bool CaptureMachine(std::string* json, std::vector<std::string>* warnings, std::string* error) {
  HDEVINFO set = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    *error = "the device list cannot be read (SetupDiGetClassDevsExW, error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  std::vector<Device> devices;
  SP_DEVINFO_DATA data;
  memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  DWORD index = 0;
  for (; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
    Device d = ReadDevice(set, &data);
    if (d.id.empty()) {
      warnings->push_back("device #" + std::to_string(index) + ": its instance ID cannot be read (error " +
                          std::to_string(GetLastError()) + "); left out");
      continue;
    }
    if (!d.gaps.empty()) warnings->push_back("device " + d.id + ": kept without what could not be read");
    devices.push_back(std::move(d));
  }
  DWORD enumError = GetLastError();
  SetupDiDestroyDeviceInfoList(set);
  if (enumError != ERROR_NO_MORE_ITEMS)
    warnings->push_back("the device list ended early after " + std::to_string(index) + " devices (error " +
                        std::to_string(enumError) + ")");

  std::map<std::string, size_t> byId;
  for (size_t i = 0; i < devices.size(); ++i) byId[Upper(devices[i].id)] = i;
  for (const auto& ic : InterfaceClasses()) {
    HDEVINFO with =
        SetupDiGetClassDevsExW(&ic.second, nullptr, nullptr, DIGCF_DEVICEINTERFACE, nullptr, nullptr, nullptr);
    if (with == INVALID_HANDLE_VALUE) continue;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(with, i, &data); ++i) {
      auto at = byId.find(Upper(InstanceId(with, &data)));
      if (at != byId.end()) devices[at->second].interfaces.push_back(ic.first);
    }
    SetupDiDestroyDeviceInfoList(with);
  }
  // A parent the list does not hold would make the description refuse the
  // device; the device stays, under the root.
  for (Device& d : devices)
    if (!d.parent.empty() && byId.find(Upper(d.parent)) == byId.end()) {
      warnings->push_back("device " + d.id + ": its parent " + d.parent + " is not listed; captured without it");
      d.parent.clear();
    }

  // The setup classes the devices use, in the system's order.
  std::vector<GUID> all = ClassList(0), installable = ClassList(DIBCI_NOINSTALLCLASS),
                    displayed = ClassList(DIBCI_NODISPLAYCLASS);
  std::set<std::string> used;
  for (const Device& d : devices)
    if (d.hasClass) used.insert(GuidText(d.classGuid));
  std::vector<Class> classes;
  std::map<std::string, std::string> classNames;
  std::set<std::string> services;
  for (const GUID& g : all) {
    std::string text = GuidText(g);
    if (!used.count(text) || classNames.count(text)) continue;
    Class c = ReadClass(g, installable, displayed);
    if (c.name.empty()) continue;
    classNames[text] = c.name;
    for (const auto* list : {&c.upperFilters, &c.lowerFilters})
      for (const std::string& s : *list)
        if (!s.empty()) services.insert(s);
    classes.push_back(std::move(c));
  }
  for (const Device& d : devices) {
    auto service = d.texts.find("service");
    if (service != d.texts.end() && !service->second.empty()) services.insert(service->second);
    for (const auto* list : {&d.upperFilters, &d.lowerFilters})
      for (const std::string& s : *list)
        if (!s.empty()) services.insert(s);
  }

  WCHAR computer[256] = {};
  DWORD computerLength = 255;
  std::string computerName = GetComputerNameW(computer, &computerLength) ? Utf8(computer) : std::string();

  std::string out = "{\n  \"description\": " +
                    JsonString("Captured by hwctl capture" + (computerName.empty() ? "" : " on " + computerName) +
                               ": " + std::to_string(devices.size()) + " devices") +
                    ",\n  \"codePage\": " + std::to_string(GetACP()) + ",\n";
  if (!computerName.empty()) out += "  \"computerName\": " + JsonString(computerName) + ",\n";
  HKEY portable = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WIDE("SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices"), 0, KEY_READ,
                    &portable) == ERROR_SUCCESS) {
    RegCloseKey(portable);
    out += "  \"registry\": [{\"key\": \"HKLM\\\\SOFTWARE\\\\Microsoft\\\\Windows Portable Devices\\\\Devices\"}],\n";
  }
  out += "  \"classes\": [";
  for (size_t i = 0; i < classes.size(); ++i) out += std::string(i ? "," : "") + "\n    " + ClassJson(classes[i]);
  out += "\n  ],\n  \"services\": [";
  size_t n = 0;
  for (const std::string& s : services) out += std::string(n++ ? ", " : "") + JsonString(s);
  out += "],\n  \"devices\": [";
  for (size_t i = 0; i < devices.size(); ++i)
    out += std::string(i ? "," : "") + "\n    " + DeviceJson(devices[i], classNames);
  out += "\n  ]\n}\n";
  *json = std::move(out);
  return true;
}
