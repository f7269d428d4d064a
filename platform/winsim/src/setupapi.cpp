// setupapi: device information sets, device registry properties and the class
// installer over winsim's device tree.
#include <algorithm>
#include <cstring>
#include <set>
#include <unordered_map>

#include "devices.h"

using namespace winsim::internal;

namespace {

struct Element {
  DEVINST devInst = 0;
  DWORD installFlags = 0, installFlagsEx = 0;
  std::vector<BYTE> classParams;
  bool createdHere = false;  // by SetupDiCreateDeviceInfoW of this set
};

struct DevInfoSet {
  bool hasClass = false;
  GUID classGuid{};
  std::vector<Element> elements;
  // Where each node's element is: a set of every device is looked up once
  // per call, so a walk over it stays linear in its size.
  std::unordered_map<DEVINST, size_t> indexOf;
  DWORD installFlags = 0, installFlagsEx = 0;
  std::vector<BYTE> classParams;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HDEVINFO FailSet(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

DevInfoSet* GetSet(HDEVINFO h) {
  auto* set = static_cast<DevInfoSet*>(h);
  if (!h || h == INVALID_HANDLE_VALUE || !LiveObjects<DevInfoSet>().count(set)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return set;
}

// A caller's structure must be there and carry its own size (the version
// it was written for); sets the error otherwise.
template <class T>
bool SizedArgument(const T* data) {
  if (data && data->cbSize == sizeof(T)) return true;
  SetLastError(data ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
  return false;
}

// The element that `data` names; sets the error and returns null otherwise.
Element* GetElement(DevInfoSet* set, PSP_DEVINFO_DATA data) {
  if (!SizedArgument(data)) return nullptr;
  auto it = set->indexOf.find(data->DevInst);
  if (it != set->indexOf.end()) return &set->elements[it->second];
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

// The device node behind a set's element; sets the error (bad set, bad
// element, vanished node) and returns null otherwise.
DeviceNode* GetNode(HDEVINFO h, PSP_DEVINFO_DATA data) {
  DevInfoSet* set = GetSet(h);
  if (!set) return nullptr;
  Element* e = GetElement(set, data);
  if (!e) return nullptr;
  DeviceNode* n = NodeByDevInst(e->devInst);
  if (!n) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return nullptr;
  }
  return n;
}

void FillData(const DevInfoSet& set, const Element& e, PSP_DEVINFO_DATA data) {
  if (!data) return;
  const DeviceNode* n = NodeByDevInst(e.devInst);
  data->ClassGuid = n ? n->classGuid : GUID{};
  data->DevInst = e.devInst;
  data->Reserved = ULONG_PTR(&e - set.elements.data()) + 1;
}

// Adds a node to a set once; returns its element.
Element& AddElement(DevInfoSet& set, const DeviceNode& n) {
  auto it = set.indexOf.find(n.devInst);
  if (it != set.indexOf.end()) return set.elements[it->second];
  Element e;
  e.devInst = n.devInst;
  set.indexOf[n.devInst] = set.elements.size();
  set.elements.push_back(e);
  return set.elements.back();
}

bool Visible(const DeviceNode& n) { return !n.removed && n.registered && n.known; }

// Copies a value out the way SetupAPI does: the size is always reported, the
// data only when it fits.
BOOL CopyOut(const void* data, DWORD size, DWORD type, PDWORD typeOut, PBYTE buffer, DWORD bufferSize,
             PDWORD required) {
  if (typeOut) *typeOut = type;
  if (required) *required = size;
  if (!buffer && bufferSize) return Fail(ERROR_INVALID_USER_BUFFER);
  if (bufferSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, data, size);
  return TRUE;
}

std::u16string MultiBlock(const std::vector<std::u16string>& list) {
  std::u16string block;
  for (const auto& s : list) block += s + u'\0';
  block += u'\0';
  return block;
}

std::vector<std::u16string> ParseMulti(const BYTE* data, DWORD size) {
  std::vector<std::u16string> out;
  if (!data) return out;
  size_t chars = size / sizeof(char16_t);
  std::u16string text(chars, u'\0');
  std::memcpy(&text[0], data, chars * sizeof(char16_t));
  size_t pos = 0;
  while (pos < text.size() && text[pos] != u'\0') {
    size_t end = text.find(u'\0', pos);
    if (end == std::u16string::npos) end = text.size();
    out.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

std::u16string ParseString(const BYTE* data, DWORD size) {
  if (!data) return std::u16string();
  std::u16string text(size / sizeof(char16_t), u'\0');
  if (!text.empty()) std::memcpy(&text[0], data, text.size() * sizeof(char16_t));
  size_t end = text.find(u'\0');
  return end == std::u16string::npos ? text : text.substr(0, end);
}

std::u16string BracedGuid(const GUID& g) { return u"{" + Utf16(GuidText(g)) + u"}"; }

BOOL CopyString(const std::u16string& text, PWSTR buffer, DWORD size, PDWORD required) {
  if (required) *required = DWORD(text.size() + 1);
  if (!buffer || size < text.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return TRUE;
}

const char* StateName(DWORD stateChange) {
  switch (stateChange) {
    case DICS_ENABLE: return "enabled";
    case DICS_DISABLE: return "disabled";
    case DICS_PROPCHANGE: return "restarted";
    case DICS_START: return "started";
    default: return "stopped";
  }
}

// The default class installer's DIF_PROPERTYCHANGE.
BOOL ChangeState(DeviceNode& n, Element& e, const SP_PROPCHANGE_PARAMS& p) {
  if (p.StateChange < DICS_ENABLE || p.StateChange > DICS_STOP) return Fail(ERROR_INVALID_PARAMETER);
  if (p.Scope != DICS_FLAG_GLOBAL && p.Scope != DICS_FLAG_CONFIGSPECIFIC) return Fail(ERROR_INVALID_FLAGS);
  if ((p.StateChange == DICS_START || p.StateChange == DICS_STOP) && p.Scope != DICS_FLAG_CONFIGSPECIFIC)
    return Fail(ERROR_INVALID_FLAGS);
  std::string change = StateName(p.StateChange);
  std::string call = std::string("SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, ") +
                     (p.Scope == DICS_FLAG_GLOBAL ? "global" : "config-specific") + ")";
  Installer installer = EffectiveInstaller(n);
  if (installer == Installer::Refuse) {
    Journal(n.id, "not " + change + ": refused by the class installer", call);
    return Fail(ERROR_DI_DONT_INSTALL);
  }
  if (p.StateChange == DICS_DISABLE && !(n.status & DN_DISABLEABLE)) {
    Journal(n.id, "not disabled: not disableable", call);
    return Fail(ERROR_NOT_DISABLEABLE);
  }
  if (p.StateChange == DICS_ENABLE || p.StateChange == DICS_DISABLE) {
    bool& flag = p.Scope == DICS_FLAG_GLOBAL ? n.globalDisabled : n.configDisabled;
    flag = p.StateChange == DICS_DISABLE;
  }
  if (installer == Installer::Restart) {
    n.pendingReboot = true;
    n.status |= DN_NEED_RESTART;  // as Windows marks a device whose change waits
    e.installFlags |= DI_NEEDRESTART;
    Journal(n.id, change + ", waits for restart", call);
    return TRUE;
  }
  if (!n.present) {
    Journal(n.id, change + " (not present: configuration only)", call);
    return TRUE;
  }
  // Stopping a device that is in use, or one above it, is vetoed until Windows restarts.
  bool takesAway = p.StateChange == DICS_DISABLE || p.StateChange == DICS_PROPCHANGE || p.StateChange == DICS_STOP;
  if (takesAway && n.active && InUseAtOrBelow(n)) {
    n.pendingReboot = true;
    n.status |= DN_NEED_RESTART;
    e.installFlags |= DI_NEEDREBOOT;
    Journal(n.id, change + ", waits for restart (in use)", call);
    return TRUE;
  }
  Journal(n.id, change, call);
  switch (p.StateChange) {
    case DICS_ENABLE:
    case DICS_DISABLE:
    case DICS_START: ApplyConfiguration(n); break;
    case DICS_PROPCHANGE: RestartNode(n, call); return TRUE;
    case DICS_STOP: n.status &= ~ULONG(DN_STARTED); break;
  }
  UpdatePresence(call);
  return TRUE;
}

BOOL RemoveDevice(DeviceNode& n, Element& e, const std::vector<BYTE>& params) {
  if (params.size() >= sizeof(SP_REMOVEDEVICE_PARAMS)) {
    SP_REMOVEDEVICE_PARAMS p;
    std::memcpy(&p, params.data(), sizeof p);
    if (p.ClassInstallHeader.InstallFunction == DIF_REMOVE && p.Scope != DI_REMOVEDEVICE_GLOBAL &&
        p.Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)
      return Fail(ERROR_INVALID_FLAGS);
  }
  const char call[] = "SetupDiCallClassInstaller(DIF_REMOVE)";
  Installer installer = EffectiveInstaller(n);
  if (installer == Installer::Refuse) return Fail(ERROR_DI_DONT_INSTALL);
  if (installer == Installer::Restart || (n.active && InUseAtOrBelow(n))) {
    n.pendingReboot = n.pendingRemove = true;
    n.status |= DN_NEED_RESTART;
    e.installFlags |= installer == Installer::Restart ? DI_NEEDRESTART : DI_NEEDREBOOT;
    Journal(n.id, installer == Installer::Restart ? "removal waits for restart" : "removal waits for restart (in use)",
            call);
    return TRUE;
  }
  n.removed = true;
  n.removedWhilePresent = n.present;
  Journal(n.id, "removed", call);
  UpdatePresence(call);
  return TRUE;
}

// [Version] of an INF file: its Class and ClassGUID values, %strings% resolved.
bool ReadInfVersion(const std::string& bytes, std::u16string* cls, std::u16string* guid, bool* signature) {
  std::u16string text;
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text.push_back(char16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
  } else {
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    text = Utf16(bytes.substr(skip));
  }
  std::map<std::u16string, std::u16string> version, strings;
  std::u16string section;
  bool hasVersion = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(pos, end - pos);
    pos = end + 1;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == u'"') quoted = !quoted;
      if (line[i] == u';' && !quoted) {
        line.resize(i);
        break;
      }
    }
    auto trim = [](std::u16string s) {
      size_t a = s.find_first_not_of(u" \t\r");
      size_t b = s.find_last_not_of(u" \t\r");
      return a == std::u16string::npos ? std::u16string() : s.substr(a, b - a + 1);
    };
    line = trim(line);
    if (line.empty()) continue;
    if (line.front() == u'[' && line.back() == u']') {
      section = UpperCase(trim(line.substr(1, line.size() - 2)));
      if (section == u"VERSION") hasVersion = true;
      continue;
    }
    size_t eq = line.find(u'=');
    if (eq == std::u16string::npos) continue;
    std::u16string key = UpperCase(trim(line.substr(0, eq)));
    std::u16string value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"') value = value.substr(1, value.size() - 2);
    if (section == u"VERSION")
      version[key] = value;
    else if (section == u"STRINGS")
      strings[key] = value;
  }
  auto resolve = [&](std::u16string v) {
    if (v.size() > 2 && v.front() == u'%' && v.back() == u'%') {
      auto it = strings.find(UpperCase(v.substr(1, v.size() - 2)));
      if (it != strings.end()) return it->second;
    }
    return v;
  };
  *signature = hasVersion && version.count(u"SIGNATURE");
  *cls = resolve(version[u"CLASS"]);
  *guid = resolve(version[u"CLASSGUID"]);
  return hasVersion;
}

}  // namespace

// ---------------------------------------------------------------- classes

WINSIM_API BOOL SetupDiClassGuidsFromNameExW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                             PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
  WINSIM_FAIL_POINT(FALSE);
  if (!ClassName || !RequiredSize || Reserved) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsLocalMachine(MachineName)) return Fail(ERROR_INVALID_MACHINENAME);
  ModelLock lock(Model().mutex);
  auto classes = ClassesByName(FromW(ClassName));
  *RequiredSize = DWORD(classes.size());
  for (DWORD i = 0; i < classes.size() && i < ClassGuidListSize && ClassGuidList; ++i)
    ClassGuidList[i] = classes[i]->guid;
  if (classes.size() > ClassGuidListSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  return TRUE;
}

namespace {
// The class the two calls below name, under the model's lock; null (error
// set) for bad arguments, another machine or an unknown class.
const SetupClass* NamedClass(const GUID* ClassGuid, PCWSTR MachineName, PVOID Reserved) {
  if (!ClassGuid || Reserved) return Fail(ERROR_INVALID_PARAMETER), nullptr;
  if (!IsLocalMachine(MachineName)) return Fail(ERROR_INVALID_MACHINENAME), nullptr;
  const SetupClass* c = ClassByGuid(*ClassGuid);
  if (!c) Fail(ERROR_INVALID_CLASS);
  return c;
}
}  // namespace

WINSIM_API BOOL SetupDiClassNameFromGuidExW(const GUID* ClassGuid, PWSTR ClassName, DWORD ClassNameSize,
                                            PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  const SetupClass* c = NamedClass(ClassGuid, MachineName, Reserved);
  return c ? CopyString(c->name, ClassName, ClassNameSize, RequiredSize) : FALSE;
}

WINSIM_API BOOL SetupDiGetClassDescriptionExW(const GUID* ClassGuid, PWSTR ClassDescription, DWORD ClassDescriptionSize,
                                              PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  const SetupClass* c = NamedClass(ClassGuid, MachineName, Reserved);
  if (!c) return FALSE;
  return CopyString(c->description.empty() ? c->name : c->description, ClassDescription, ClassDescriptionSize,
                    RequiredSize);
}

WINSIM_API BOOL SetupDiBuildClassInfoListExW(DWORD Flags, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                             PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
  WINSIM_FAIL_POINT(FALSE);
  if (!RequiredSize || Reserved) return Fail(ERROR_INVALID_PARAMETER);
  if (Flags & ~DWORD(DIBCI_NOINSTALLCLASS | DIBCI_NODISPLAYCLASS)) return Fail(ERROR_INVALID_FLAGS);
  if (!IsLocalMachine(MachineName)) return Fail(ERROR_INVALID_MACHINENAME);
  ModelLock lock(Model().mutex);
  std::vector<GUID> list;
  for (const auto& c : Model().classes) {
    if ((Flags & DIBCI_NOINSTALLCLASS) && c.noInstallClass) continue;
    if ((Flags & DIBCI_NODISPLAYCLASS) && c.noDisplayClass) continue;
    list.push_back(c.guid);
  }
  *RequiredSize = DWORD(list.size());
  for (DWORD i = 0; i < list.size() && i < ClassGuidListSize && ClassGuidList; ++i) ClassGuidList[i] = list[i];
  if (list.size() > ClassGuidListSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  return TRUE;
}

WINSIM_API HKEY SetupDiOpenClassRegKeyExW(const GUID* ClassGuid, REGSAM samDesired, DWORD Flags, PCWSTR MachineName,
                                          PVOID Reserved) {
  HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
  WINSIM_FAIL_POINT(invalid);
  if (Reserved || (Flags != DIOCR_INSTALLER && Flags != DIOCR_INTERFACE)) {
    SetLastError(Reserved ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FLAGS);
    return invalid;
  }
  if (!IsLocalMachine(MachineName)) {
    SetLastError(ERROR_INVALID_MACHINENAME);
    return invalid;
  }
  std::u16string path = Flags == DIOCR_INSTALLER ? u"SYSTEM\\CurrentControlSet\\Control\\Class"
                                                 : u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses";
  if (ClassGuid) {
    if (Flags == DIOCR_INSTALLER) {
      ModelLock lock(Model().mutex);
      if (!ClassByGuid(*ClassGuid)) {
        SetLastError(ERROR_INVALID_CLASS);
        return invalid;
      }
    }
    path += u"\\" + BracedGuid(*ClassGuid);
  }
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, samDesired, &key);
  if (status != ERROR_SUCCESS) {
    SetLastError(status == ERROR_FILE_NOT_FOUND ? DWORD(ERROR_INVALID_CLASS) : DWORD(status));
    return invalid;
  }
  return key;
}

WINSIM_API BOOL SetupDiGetINFClassW(PCWSTR InfName, LPGUID ClassGuid, PWSTR ClassName, DWORD ClassNameSize,
                                    PDWORD RequiredSize) {
  WINSIM_FAIL_POINT(FALSE);
  if (!InfName || !ClassGuid || !ClassName) return Fail(ERROR_INVALID_PARAMETER);
  std::string bytes;
  if (!ReadMachineFile(FromW(InfName), &bytes)) return Fail(ERROR_FILE_NOT_FOUND);
  std::u16string cls, guidText;
  bool signature = false;
  if (!ReadInfVersion(bytes, &cls, &guidText, &signature) || !signature) return Fail(ERROR_WRONG_INF_STYLE);
  GUID guid{};
  ModelLock lock(Model().mutex);
  if (!guidText.empty()) {
    if (!ParseGuid(Utf8(guidText), &guid)) return Fail(ERROR_INVALID_CLASS);
    if (cls.empty()) {
      const SetupClass* c = ClassByGuid(guid);
      if (!c) return Fail(ERROR_INVALID_CLASS);
      cls = c->name;
    }
  } else if (!cls.empty()) {
    auto classes = ClassesByName(cls);
    if (!classes.empty()) guid = classes.front()->guid;
  } else {
    return Fail(ERROR_NO_ASSOCIATED_CLASS);
  }
  if (RequiredSize) *RequiredSize = DWORD(cls.size() + 1);
  if (ClassNameSize < cls.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(cls.begin(), cls.end(), ClassName);
  ClassName[cls.size()] = 0;
  *ClassGuid = guid;
  return TRUE;
}

// ---------------------------------------------------------------- sets

WINSIM_API HDEVINFO SetupDiCreateDeviceInfoListExW(const GUID* ClassGuid, HWND, PCWSTR MachineName, PVOID Reserved) {
  WINSIM_FAIL_POINT(INVALID_HANDLE_VALUE);
  if (Reserved) return FailSet(ERROR_INVALID_PARAMETER);
  if (!IsLocalMachine(MachineName)) return FailSet(ERROR_INVALID_MACHINENAME);
  ModelLock lock(Model().mutex);
  auto* set = new DevInfoSet;
  if (ClassGuid) set->hasClass = true, set->classGuid = *ClassGuid;
  LiveObjects<DevInfoSet>().insert(set);
  return set;
}

WINSIM_API HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent) {
  WINSIM_FAIL_POINT(INVALID_HANDLE_VALUE);
  return SetupDiCreateDeviceInfoListExW(ClassGuid, hwndParent, nullptr, nullptr);
}

WINSIM_API HDEVINFO SetupDiGetClassDevsExW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags,
                                           HDEVINFO DeviceInfoSet, PCWSTR MachineName, PVOID Reserved) {
  WINSIM_FAIL_POINT(INVALID_HANDLE_VALUE);
  if (Reserved) return FailSet(ERROR_INVALID_PARAMETER);
  if (Flags & ~DWORD(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE))
    return FailSet(ERROR_INVALID_FLAGS);
  if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) return FailSet(ERROR_INVALID_PARAMETER);
  if (!IsLocalMachine(MachineName)) return FailSet(ERROR_INVALID_MACHINENAME);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = nullptr;
  if (DeviceInfoSet) {
    set = GetSet(DeviceInfoSet);
    if (!set) return INVALID_HANDLE_VALUE;
  } else {
    set = new DevInfoSet;
    LiveObjects<DevInfoSet>().insert(set);
  }
  std::u16string prefix = Enumerator && *Enumerator ? FromW(Enumerator) + u"\\" : u"";
  for (const auto& n : Model().nodes) {
    if (!Visible(*n)) continue;
    if ((Flags & DIGCF_PRESENT) && !n->present) continue;
    if (!prefix.empty() && (n->id.size() < prefix.size() || !EqualNoCase(n->id.substr(0, prefix.size()), prefix)))
      continue;
    if (ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
      if (Flags & DIGCF_DEVICEINTERFACE) {
        if (std::none_of(n->interfaces.begin(), n->interfaces.end(),
                         [&](const GUID& g) { return SameGuid(g, *ClassGuid); }))
          continue;
      } else if (!SameGuid(n->classGuid, *ClassGuid)) {
        continue;
      }
    }
    AddElement(*set, *n);
  }
  return set;
}

WINSIM_API BOOL SetupDiGetDeviceInfoListDetailW(HDEVINFO DeviceInfoSet,
                                                PSP_DEVINFO_LIST_DETAIL_DATA_W DeviceInfoSetDetailData) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!SizedArgument(DeviceInfoSetDetailData)) return FALSE;
  DeviceInfoSetDetailData->ClassGuid = set->hasClass ? set->classGuid : GUID{};
  DeviceInfoSetDetailData->RemoteMachineHandle = nullptr;  // local machine
  DeviceInfoSetDetailData->RemoteMachineName[0] = 0;
  return TRUE;
}

WINSIM_API BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  // Devices created in this set and never registered go with it.
  for (const auto& e : set->elements)
    if (e.createdHere)
      if (DeviceNode* n = NodeByDevInst(e.devInst))
        if (!n->registered) n->removed = true;
  LiveObjects<DevInfoSet>().erase(set);
  delete set;
  return TRUE;
}

WINSIM_API BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                                       PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (OpenFlags & ~DWORD(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE)) return Fail(ERROR_INVALID_FLAGS);
  if (DeviceInfoData && !SizedArgument(DeviceInfoData)) return FALSE;
  if (!DeviceInstanceId || !*DeviceInstanceId) return Fail(ERROR_INVALID_DEVINST_NAME);
  DeviceNode* n = NodeById(FromW(DeviceInstanceId));
  if (!n || !n->registered) return Fail(ERROR_NO_SUCH_DEVINST);
  if (set->hasClass && !SameGuid(set->classGuid, n->classGuid)) return Fail(ERROR_CLASS_MISMATCH);
  Element& e = AddElement(*set, *n);
  FillData(*set, e, DeviceInfoData);
  return TRUE;
}

WINSIM_API BOOL SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName, const GUID* ClassGuid,
                                         PCWSTR DeviceDescription, HWND, DWORD CreationFlags,
                                         PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (CreationFlags & ~DWORD(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) return Fail(ERROR_INVALID_FLAGS);
  if (!ClassGuid) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData && !SizedArgument(DeviceInfoData)) return FALSE;
  std::u16string name = FromW(DeviceName);
  if (name.empty()) return Fail(ERROR_INVALID_DEVINST_NAME);
  if (set->hasClass && !SameGuid(set->classGuid, *ClassGuid)) return Fail(ERROR_CLASS_MISMATCH);
  std::u16string id;
  if (CreationFlags & DICD_GENERATE_ID) {
    if (name.find(u'\\') != std::u16string::npos) return Fail(ERROR_INVALID_DEVINST_NAME);
    for (unsigned i = 0; id.empty(); ++i) {
      char num[8];
      std::snprintf(num, sizeof num, "%04u", i);
      std::u16string candidate = u"ROOT\\" + UpperCase(name) + u"\\" + Utf16(num);
      bool taken = false;
      for (const auto& n : Model().nodes) taken = taken || EqualNoCase(n->id, candidate);
      if (!taken) id = candidate;
    }
  } else {
    id = name;
    if (NodeById(id)) return Fail(ERROR_DEVINST_ALREADY_EXISTS);
  }
  if (id.size() >= MAX_DEVICE_ID_LEN) return Fail(ERROR_INVALID_DEVINST_NAME);
  auto node = std::make_unique<DeviceNode>();
  node->id = id;
  node->classGuid = *ClassGuid;
  if (DeviceDescription) node->description = FromW(DeviceDescription), node->hasDescription = true;
  // A new root-enumerated device has no driver until one is installed.
  node->status = DN_ROOT_ENUMERATED | DN_HAS_PROBLEM | DN_NT_ENUMERATOR | DN_DISABLEABLE;
  node->problem = CM_PROB_FAILED_INSTALL;
  node->registered = false;
  DeviceNode* n = AddNode(std::move(node));
  Element& e = AddElement(*set, *n);
  e.createdHere = true;
  FillData(*set, e, DeviceInfoData);
  return TRUE;
}

WINSIM_API BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!SizedArgument(DeviceInfoData)) return FALSE;
  if (MemberIndex >= set->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
  FillData(*set, set->elements[MemberIndex], DeviceInfoData);
  return TRUE;
}

WINSIM_API BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  const DeviceNode* n = GetNode(DeviceInfoSet, DeviceInfoData);
  if (!n) return FALSE;
  return CopyString(n->id, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

// ---------------------------------------------------------------- properties

WINSIM_API BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                  DWORD PropertyBufferSize, PDWORD RequiredSize) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  const DeviceNode* n = GetNode(DeviceInfoSet, DeviceInfoData);
  if (!n) return FALSE;
  if (Property >= SPDRP_MAXIMUM_PROPERTY) return Fail(ERROR_INVALID_REG_PROPERTY);

  auto sz = [&](const std::u16string& s, bool has) -> BOOL {
    if (!has) return Fail(ERROR_INVALID_DATA);
    return CopyOut(s.c_str(), DWORD((s.size() + 1) * 2), REG_SZ, PropertyRegDataType, PropertyBuffer,
                   PropertyBufferSize, RequiredSize);
  };
  auto multi = [&](const std::vector<std::u16string>& list) -> BOOL {
    if (list.empty()) return Fail(ERROR_INVALID_DATA);
    std::u16string block = MultiBlock(list);
    return CopyOut(block.data(), DWORD(block.size() * 2), REG_MULTI_SZ, PropertyRegDataType, PropertyBuffer,
                   PropertyBufferSize, RequiredSize);
  };
  auto dword = [&](DWORD v) -> BOOL {
    return CopyOut(&v, sizeof v, REG_DWORD, PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
  };
  switch (Property) {
    case SPDRP_DEVICEDESC: return sz(n->description, n->hasDescription);
    case SPDRP_HARDWAREID: return multi(n->hardwareIds);
    case SPDRP_COMPATIBLEIDS: return multi(n->compatibleIds);
    case SPDRP_SERVICE: return sz(n->service, !n->service.empty());
    case SPDRP_CLASS: {
      std::u16string name = ClassNameOf(*n);
      return sz(name, !name.empty());
    }
    case SPDRP_CLASSGUID: {
      bool known = !SameGuid(n->classGuid, GUID{});
      return sz(BracedGuid(n->classGuid), known);
    }
    case SPDRP_DRIVER: return sz(n->driver, !n->driver.empty());
    case SPDRP_CONFIGFLAGS: return dword(n->configDisabled || n->globalDisabled ? 0x1 : 0x0);  // CONFIGFLAG_DISABLED
    case SPDRP_MFG: return sz(n->mfg, !n->mfg.empty());
    case SPDRP_FRIENDLYNAME: return sz(n->friendlyName, n->hasFriendlyName);
    case SPDRP_LOCATION_INFORMATION: return sz(n->location, !n->location.empty());
    case SPDRP_UPPERFILTERS: return multi(n->upperFilters);
    case SPDRP_LOWERFILTERS: return multi(n->lowerFilters);
    case SPDRP_ENUMERATOR_NAME: return sz(n->id.substr(0, n->id.find(u'\\')), true);
    case SPDRP_CAPABILITIES: return dword(n->status & DN_REMOVABLE ? CM_DEVCAP_REMOVABLE : 0);
    case SPDRP_INSTALL_STATE: return dword(n->problem == CM_PROB_FAILED_INSTALL ? 3 : 0);
    default: return Fail(ERROR_INVALID_DATA);
  }
}

WINSIM_API BOOL SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  DWORD Property, const BYTE* PropertyBuffer,
                                                  DWORD PropertyBufferSize) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DeviceNode* n = GetNode(DeviceInfoSet, DeviceInfoData);
  if (!n) return FALSE;
  if (!PropertyBuffer && PropertyBufferSize) return Fail(ERROR_INVALID_PARAMETER);
  const BYTE* data = PropertyBufferSize ? PropertyBuffer : nullptr;  // no data deletes the value
  auto setString = [&](std::u16string* value, bool* has) {
    *value = ParseString(data, PropertyBufferSize);
    if (has) *has = data != nullptr;
  };
  switch (Property) {
    case SPDRP_HARDWAREID: n->hardwareIds = ParseMulti(data, PropertyBufferSize); break;
    case SPDRP_COMPATIBLEIDS: n->compatibleIds = ParseMulti(data, PropertyBufferSize); break;
    case SPDRP_UPPERFILTERS: n->upperFilters = ParseMulti(data, PropertyBufferSize); break;
    case SPDRP_LOWERFILTERS: n->lowerFilters = ParseMulti(data, PropertyBufferSize); break;
    case SPDRP_FRIENDLYNAME: setString(&n->friendlyName, &n->hasFriendlyName); break;
    case SPDRP_DEVICEDESC: setString(&n->description, &n->hasDescription); break;
    case SPDRP_SERVICE: setString(&n->service, nullptr); break;
    case SPDRP_MFG: setString(&n->mfg, nullptr); break;
    case SPDRP_LOCATION_INFORMATION: setString(&n->location, nullptr); break;
    default: return Fail(ERROR_INVALID_REG_PROPERTY);
  }
  Journal(n->id, "property " + std::to_string(Property) + " set", "SetupDiSetDeviceRegistryPropertyW");
  return TRUE;
}

// ---------------------------------------------------------------- installer

WINSIM_API BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                              DWORD ClassInstallParamsSize) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  std::vector<BYTE>* target = &set->classParams;
  if (DeviceInfoData) {
    Element* e = GetElement(set, DeviceInfoData);
    if (!e) return FALSE;
    target = &e->classParams;
  }
  if (!ClassInstallParams) {
    if (ClassInstallParamsSize) return Fail(ERROR_INVALID_PARAMETER);
    target->clear();
    return TRUE;
  }
  if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
      ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER))
    return Fail(ERROR_INVALID_USER_BUFFER);
  const BYTE* bytes = reinterpret_cast<const BYTE*>(ClassInstallParams);
  target->assign(bytes, bytes + ClassInstallParamsSize);
  return TRUE;
}

WINSIM_API BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                          PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (InstallFunction != DIF_PROPERTYCHANGE && InstallFunction != DIF_REMOVE && InstallFunction != DIF_REGISTERDEVICE)
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (!DeviceInfoData) return Fail(ERROR_NO_DEVICE_SELECTED);
  Element* e = GetElement(set, DeviceInfoData);
  if (!e) return FALSE;
  DeviceNode* n = NodeByDevInst(e->devInst);
  if (!n) return Fail(ERROR_NO_SUCH_DEVINST);
  // Changing devices takes an administrator.
  if (!ProcessElevated()) return Fail(ERROR_ACCESS_DENIED);
  const std::vector<BYTE>& params = e->classParams.empty() ? set->classParams : e->classParams;
  switch (InstallFunction) {
    case DIF_PROPERTYCHANGE: {
      SP_PROPCHANGE_PARAMS p;
      if (params.size() < sizeof p) return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
      std::memcpy(&p, params.data(), sizeof p);
      if (p.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
      return ChangeState(*n, *e, p);
    }
    case DIF_REMOVE: return RemoveDevice(*n, *e, params);
    default:  // DIF_REGISTERDEVICE
      if (!n->registered) {
        if (EffectiveInstaller(*n) == Installer::Refuse) return Fail(ERROR_DI_DONT_INSTALL);
        n->registered = true;
        n->pluggedAtMs = UntrackedMonotonicMs();
        e->createdHere = false;
        Journal(n->id, "registered", "SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
        UpdatePresence("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
      }
      return TRUE;
  }
}

namespace {
// The two calls below after their fault points: the install flags of the
// element when one is named, else the set's, read into `params` or written
// from them.
BOOL TransferInstallParams(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSP_DEVINSTALL_PARAMS_W params,
                           bool write) {
  ModelLock lock(Model().mutex);
  DevInfoSet* set = GetSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (!SizedArgument(params)) return FALSE;
  Element* e = DeviceInfoData ? GetElement(set, DeviceInfoData) : nullptr;
  if (DeviceInfoData && !e) return FALSE;
  DWORD& flags = e ? e->installFlags : set->installFlags;
  DWORD& flagsEx = e ? e->installFlagsEx : set->installFlagsEx;
  if (write) {
    flags = params->Flags;
    flagsEx = params->FlagsEx;
  } else {
    std::memset(params, 0, sizeof *params);
    params->cbSize = sizeof *params;
    params->Flags = flags;
    params->FlagsEx = flagsEx;
  }
  return TRUE;
}
}  // namespace

WINSIM_API BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  WINSIM_FAIL_POINT(FALSE);
  return TransferInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams, false);
}

WINSIM_API BOOL SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  WINSIM_FAIL_POINT(FALSE);
  return TransferInstallParams(DeviceInfoSet, DeviceInfoData, DeviceInstallParams, true);
}

WINSIM_API BOOL SetupSetNonInteractiveMode(BOOL NonInteractiveFlag) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  BOOL previous = Model().nonInteractive ? TRUE : FALSE;
  Model().nonInteractive = NonInteractiveFlag != FALSE;
  return previous;
}

WINSIM_API BOOL SetupGetNonInteractiveMode(VOID) {
  ModelLock lock(Model().mutex);
  return Model().nonInteractive ? TRUE : FALSE;
}
