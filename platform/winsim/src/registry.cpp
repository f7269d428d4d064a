// The registry: an in-memory tree per root, case-insensitive key and value
// names, typed values, change notification. The machine description's
// "registry" section fills it; the control API changes it as the world would.
#include <sys/time.h>

#include <cstring>
#include <map>
#include <vector>

#include "machine.h"

namespace winsim {
namespace internal {
namespace {

struct RegValue {
  WStr name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegKey {
  WStr name;
  RegKey* parent = nullptr;                         // null for roots and deleted keys
  std::map<WStr, std::shared_ptr<RegKey>> subkeys;  // by folded name: enumeration is alphabetical
  std::vector<RegValue> values;                     // in the order first set, as Windows enumerates
  bool deleted = false;
  FILETIME lastWrite{};
};

struct Watch {
  std::weak_ptr<RegKey> key;
  HANDLE handle;
  bool subtree;
  DWORD filter;
  std::shared_ptr<EventObject> event;
};

struct Tree {
  std::shared_ptr<RegKey> hklm, hkcu, hku;
};

std::mutex g_regMutex;
Tree g_tree;
std::vector<Watch> g_watches;
// Told (with g_regMutex held) whenever a watch is armed, for the control
// API's wait for one. Never destroyed, as every ClockCondition.
ClockCondition& WatchArmed() {
  static ClockCondition* condition = new ClockCondition;
  return *condition;
}
// A handle's first notification request fixes its filter and subtree flag for
// the handle's life; later requests only re-arm it (NT's notify block).
std::map<HANDLE, std::pair<DWORD, bool>> g_notifyBlocks;

const DWORD kMaximumAllowed = 0x02000000;
// Rights that change a key: KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK,
// DELETE, WRITE_DAC, WRITE_OWNER. A standard user holds none of them below HKLM.
const REGSAM kWriteRights = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;
const DWORD kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000,
            kGenericAll = 0x10000000;

struct KeyHandle : KernelObject {
  std::shared_ptr<RegKey> key;
  REGSAM access = 0;
  void OnHandleClosed(HANDLE handle) override;
};

FILETIME Now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ft;
}

REGSAM Normalize(REGSAM sam) {
  if (sam & (kMaximumAllowed | kGenericAll)) return KEY_ALL_ACCESS;
  if (sam & (kGenericRead | kGenericExecute)) sam |= KEY_READ;
  if (sam & kGenericWrite) sam |= KEY_WRITE;
  return sam;
}

std::vector<WStr> SplitPath(const WStr& path) {
  std::vector<WStr> parts;
  WStr part;
  for (WCHAR c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

bool IsAncestor(const RegKey* ancestor, const RegKey* key) {
  for (const RegKey* p = key->parent; p; p = p->parent)
    if (p == ancestor) return true;
  return false;
}

// With g_regMutex held: wakes the watchers of `key` (or above it, for subtree
// watches) whose filter has `kind`. A notification fires once.
void Notify(const RegKey* key, DWORD kind) {
  for (auto it = g_watches.begin(); it != g_watches.end();) {
    auto watched = it->key.lock();
    bool hit =
        watched && (it->filter & kind) && (watched.get() == key || (it->subtree && IsAncestor(watched.get(), key)));
    if (!watched || hit) {
      if (hit) SignalEvent(it->event);
      it = g_watches.erase(it);
    } else {
      ++it;
    }
  }
}

// With g_regMutex held: marks a removed subtree deleted; its watchers fire.
void MarkDeleted(RegKey* key) {
  for (auto& child : key->subkeys) MarkDeleted(child.second.get());
  key->subkeys.clear();
  for (auto it = g_watches.begin(); it != g_watches.end();) {
    auto watched = it->key.lock();
    if (!watched || watched.get() == key) {
      if (watched) SignalEvent(it->event);
      it = g_watches.erase(it);
    } else {
      ++it;
    }
  }
  key->deleted = true;
  key->parent = nullptr;
}

void KeyHandle::OnHandleClosed(HANDLE handle) {
  // Closing the handle completes its pending notifications, as on Windows.
  std::lock_guard<std::mutex> lock(g_regMutex);
  g_notifyBlocks.erase(handle);
  for (auto it = g_watches.begin(); it != g_watches.end();) {
    if (it->handle == handle) {
      SignalEvent(it->event);
      it = g_watches.erase(it);
    } else {
      ++it;
    }
  }
}

// With g_regMutex held: takes a key that is not a root, with its subtree,
// out of its parent.
void RemoveKey(const std::shared_ptr<RegKey>& key) {
  RegKey* parent = key->parent;
  parent->subkeys.erase(FoldCase(key->name));
  parent->lastWrite = Now();
  MarkDeleted(key.get());
  Notify(parent, REG_NOTIFY_CHANGE_NAME);
}

// Walks or creates `parts` below `base`; `notify` only for the live tree.
std::shared_ptr<RegKey> CreatePath(std::shared_ptr<RegKey> key, const std::vector<WStr>& parts, bool notify,
                                   bool* created) {
  *created = false;
  for (const WStr& part : parts) {
    WStr folded = FoldCase(part);
    auto it = key->subkeys.find(folded);
    if (it != key->subkeys.end()) {
      key = it->second;
      continue;
    }
    auto child = std::make_shared<RegKey>();
    child->name = part;
    child->parent = key.get();
    child->lastWrite = Now();
    key->subkeys[folded] = child;
    key->lastWrite = child->lastWrite;
    if (notify) Notify(key.get(), REG_NOTIFY_CHANGE_NAME);
    key = child;
    *created = true;
  }
  return key;
}

std::shared_ptr<RegKey> FindPath(std::shared_ptr<RegKey> key, const std::vector<WStr>& parts) {
  for (const WStr& part : parts) {
    auto it = key->subkeys.find(FoldCase(part));
    if (it == key->subkeys.end()) return nullptr;
    key = it->second;
  }
  return key;
}

RegValue* FindValue(RegKey* key, const WCHAR* name) {
  WStr folded = FoldCase(WStr(name ? name : u""));
  for (auto& v : key->values)
    if (FoldCase(v.name) == folded) return &v;
  return nullptr;
}

void SetValue(RegKey* key, const WStr& name, DWORD type, const BYTE* data, size_t size, bool notify) {
  RegValue* value = FindValue(key, name.c_str());
  if (!value) {
    key->values.push_back(RegValue());
    value = &key->values.back();
    value->name = name;
  }
  value->type = type;
  value->data.assign(data, data + size);
  key->lastWrite = Now();
  if (notify) Notify(key, REG_NOTIFY_CHANGE_LAST_SET);
}

Tree NewTree() {
  Tree tree;
  tree.hklm = std::make_shared<RegKey>();
  tree.hkcu = std::make_shared<RegKey>();
  tree.hku = std::make_shared<RegKey>();
  bool created = false;
  // The keys every Windows installation has.
  for (const char* path :
       {"SOFTWARE\\Classes", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "SYSTEM\\CurrentControlSet\\Services",
        "SYSTEM\\CurrentControlSet\\Control\\Class", "SYSTEM\\CurrentControlSet\\Enum", "HARDWARE"})
    CreatePath(tree.hklm, SplitPath(Utf8ToUtf16(path)), false, &created);
  CreatePath(tree.hkcu, SplitPath(u"Software"), false, &created);
  CreatePath(tree.hku, SplitPath(u".DEFAULT"), false, &created);
  return tree;
}

std::shared_ptr<RegKey> Root(const Tree& tree, HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return tree.hklm;
  if (hKey == HKEY_CURRENT_USER) return tree.hkcu;
  if (hKey == HKEY_USERS) return tree.hku;
  if (hKey == HKEY_CLASSES_ROOT) {
    bool created = false;
    return CreatePath(tree.hklm, {u"SOFTWARE", u"Classes"}, false, &created);
  }
  return nullptr;
}

// With g_regMutex held: true for a key of HKLM (and so of HKCR, its alias here).
bool InMachineHive(const RegKey* key) {
  while (key->parent) key = key->parent;
  return key == g_tree.hklm.get();
}

// With g_regMutex held: the rights a handle to `key` gets for `samDesired`, or
// false when the caller may not have them (a process that is not elevated
// asks to change a key of HKLM). MAXIMUM_ALLOWED gets what may be had.
bool Grant(const RegKey* key, REGSAM samDesired, REGSAM* granted) {
  *granted = Normalize(samDesired);
  if (!(*granted & kWriteRights) || !InMachineHive(key) || MayWriteMachineKeys()) return true;
  if (!(samDesired & kMaximumAllowed)) return false;
  *granted &= ~kWriteRights;
  return true;
}

// With g_regMutex held: the key behind hKey and the rights of the handle.
LSTATUS Resolve(HKEY hKey, std::shared_ptr<RegKey>* key, REGSAM* access) {
  if (auto root = Root(g_tree, hKey)) {
    *key = root;
    Grant(root.get(), kMaximumAllowed, access);
    return ERROR_SUCCESS;
  }
  auto handle = LookupHandleAs<KeyHandle>(reinterpret_cast<HANDLE>(hKey));
  if (!handle) return ERROR_INVALID_HANDLE;
  if (handle->key->deleted) return ERROR_KEY_DELETED;
  *key = handle->key;
  *access = handle->access;
  return ERROR_SUCCESS;
}

// With g_regMutex held: the key behind hKey when its handle carries `right`
// (0 asks for none).
LSTATUS ResolveFor(HKEY hKey, REGSAM right, std::shared_ptr<RegKey>* key) {
  REGSAM access = 0;
  if (LSTATUS rc = Resolve(hKey, key, &access)) return rc;
  return (access & right) == right ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::unique_lock<std::mutex> LockRegistry() {
  EnsureMachine();
  return std::unique_lock<std::mutex>(g_regMutex);
}

// `access` as Grant gave it.
HKEY NewKeyHandle(const std::shared_ptr<RegKey>& key, REGSAM access) {
  auto handle = std::make_shared<KeyHandle>();
  handle->key = key;
  handle->access = access;
  return reinterpret_cast<HKEY>(AddHandle(handle));
}

// "HKLM\\A\\B" of the control API and the description: root and the rest.
bool ParseKeyPath(const std::string& path, HKEY* root, std::vector<WStr>* parts) {
  size_t cut = path.find('\\');
  std::string head = path.substr(0, cut);
  for (auto& c : head) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (head == "HKLM" || head == "HKEY_LOCAL_MACHINE")
    *root = HKEY_LOCAL_MACHINE;
  else if (head == "HKCU" || head == "HKEY_CURRENT_USER")
    *root = HKEY_CURRENT_USER;
  else if (head == "HKCR" || head == "HKEY_CLASSES_ROOT")
    *root = HKEY_CLASSES_ROOT;
  else if (head == "HKU" || head == "HKEY_USERS")
    *root = HKEY_USERS;
  else
    return false;
  *parts = SplitPath(Utf8ToUtf16(cut == std::string::npos ? std::string() : path.substr(cut + 1)));
  return true;
}

std::vector<BYTE> StringData(const WStr& text) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(WCHAR));
}

// ---------------------------------------------------------------- description

// One value of the description: a string is REG_SZ, a number REG_DWORD, an
// object names its type: {"expand_sz": ...}, {"multi_sz": [...]}, {"qword": n},
// {"binary": "01 02 ff"}, {"sz": ...}, {"dword": n}.
bool ParseValue(const rapidjson::Value& v, DWORD* type, std::vector<BYTE>* data, std::string* error) {
  if (v.IsString()) {
    *type = REG_SZ;
    *data = StringData(Utf8ToUtf16(v.GetString()));
    return true;
  }
  if (v.IsUint()) {
    *type = REG_DWORD;
    DWORD d = v.GetUint();
    data->assign(reinterpret_cast<BYTE*>(&d), reinterpret_cast<BYTE*>(&d) + 4);
    return true;
  }
  if (!v.IsObject() || v.MemberCount() != 1) {
    *error = "a value is a string, a 32-bit number or an object with one typed member";
    return false;
  }
  std::string kind = v.MemberBegin()->name.GetString();
  const rapidjson::Value& x = v.MemberBegin()->value;
  if ((kind == "sz" || kind == "expand_sz") && x.IsString()) {
    *type = kind == "sz" ? REG_SZ : REG_EXPAND_SZ;
    *data = StringData(Utf8ToUtf16(x.GetString()));
  } else if (kind == "multi_sz" && x.IsArray()) {
    *type = REG_MULTI_SZ;
    WStr all;
    for (auto& s : x.GetArray()) {
      if (!s.IsString()) {
        *error = "multi_sz holds strings only";
        return false;
      }
      all += Utf8ToUtf16(s.GetString());
      all += WCHAR(0);
    }
    *data = StringData(all);
  } else if (kind == "dword" && x.IsUint()) {
    *type = REG_DWORD;
    DWORD d = x.GetUint();
    data->assign(reinterpret_cast<BYTE*>(&d), reinterpret_cast<BYTE*>(&d) + 4);
  } else if (kind == "qword" && x.IsUint64()) {
    *type = REG_QWORD;
    uint64_t q = x.GetUint64();
    data->assign(reinterpret_cast<BYTE*>(&q), reinterpret_cast<BYTE*>(&q) + 8);
  } else if (kind == "binary" && x.IsString()) {
    *type = REG_BINARY;
    if (!ParseHex(x.GetString(), data)) {
      *error = std::string("bad hexadecimal bytes \"") + x.GetString() + "\"";
      return false;
    }
  } else {
    *error = "unknown or malformed value type \"" + kind + "\"";
    return false;
  }
  return true;
}

bool LoadSection(const rapidjson::Value* section, const LoadContext&, std::function<void()>* commit,
                 std::string* error) {
  auto tree = std::make_shared<Tree>(NewTree());
  if (section) {
    if (!section->IsArray()) {
      *error = "expected a list of keys";
      return false;
    }
    for (auto& entry : section->GetArray()) {
      if (!entry.IsObject() || !entry.HasMember("key") || !entry["key"].IsString()) {
        *error = "each entry needs a \"key\" text";
        return false;
      }
      std::string path = entry["key"].GetString();
      HKEY root;
      std::vector<WStr> parts;
      if (!ParseKeyPath(path, &root, &parts)) {
        *error = "key \"" + path + "\" does not start with HKLM, HKCU, HKCR or HKU";
        return false;
      }
      bool created = false;
      auto key = CreatePath(Root(*tree, root), parts, false, &created);
      if (!entry.HasMember("values")) continue;
      const rapidjson::Value& values = entry["values"];
      if (!values.IsObject()) {
        *error = "\"values\" of \"" + path + "\" must be an object";
        return false;
      }
      for (auto it = values.MemberBegin(); it != values.MemberEnd(); ++it) {
        DWORD type = 0;
        std::vector<BYTE> data;
        std::string why;
        if (!ParseValue(it->value, &type, &data, &why)) {
          *error = path + " value \"" + it->name.GetString() + "\": " + why;
          return false;
        }
        SetValue(key.get(), Utf8ToUtf16(it->name.GetString()), type, data.data(), data.size(), false);
      }
    }
  }
  *commit = [tree] {
    std::lock_guard<std::mutex> lock(g_regMutex);
    for (auto* old : {g_tree.hklm.get(), g_tree.hkcu.get(), g_tree.hku.get()})
      if (old) MarkDeleted(old);
    for (auto& w : g_watches) SignalEvent(w.event);
    g_watches.clear();
    g_tree = *tree;
  };
  return true;
}

[[maybe_unused]] const bool kRegistered = RegisterSectionLoader("registry", LoadSection);

// Copies `size` bytes to a caller buffer with Win32's size protocol.
LSTATUS CopyOut(const BYTE* data, DWORD size, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpcbData) return lpData ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  if (!lpData) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) memcpy(lpData, data, size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace
}  // namespace internal

// ---------------------------------------------------------------- control API

using namespace internal;

bool CreateRegistryKey(const std::string& keyPath) {
  HKEY root;
  std::vector<WStr> parts;
  if (!ParseKeyPath(keyPath, &root, &parts)) return false;
  auto lock = LockRegistry();
  bool created = false;
  CreatePath(Root(g_tree, root), parts, true, &created);
  return true;
}

bool SetRegistryValue(const std::string& keyPath, const std::string& valueName, DWORD type,
                      const std::vector<BYTE>& data) {
  HKEY root;
  std::vector<WStr> parts;
  if (!ParseKeyPath(keyPath, &root, &parts)) return false;
  auto lock = LockRegistry();
  bool created = false;
  auto key = CreatePath(Root(g_tree, root), parts, true, &created);
  SetValue(key.get(), Utf8ToUtf16(valueName), type, data.data(), data.size(), true);
  return true;
}

bool SetRegistryString(const std::string& keyPath, const std::string& valueName, const std::string& text) {
  return SetRegistryValue(keyPath, valueName, REG_SZ, StringData(Utf8ToUtf16(text)));
}

bool SetRegistryDword(const std::string& keyPath, const std::string& valueName, DWORD value) {
  const BYTE* p = reinterpret_cast<const BYTE*>(&value);
  return SetRegistryValue(keyPath, valueName, REG_DWORD, std::vector<BYTE>(p, p + 4));
}

bool DeleteRegistryKey(const std::string& keyPath) {
  HKEY root;
  std::vector<WStr> parts;
  if (!ParseKeyPath(keyPath, &root, &parts) || parts.empty()) return false;
  auto lock = LockRegistry();
  auto key = FindPath(Root(g_tree, root), parts);
  if (!key) return false;
  RemoveKey(key);
  return true;
}

bool WaitForRegistryWatch(const std::string& keyPath, unsigned timeoutMs) {
  HKEY root;
  std::vector<WStr> parts;
  if (!ParseKeyPath(keyPath, &root, &parts)) return false;
  uint64_t deadline = DeadlineAfterMs(timeoutMs);
  auto lock = LockRegistry();
  return WatchArmed().WaitUntil(lock, deadline, [&] {
    auto key = FindPath(Root(g_tree, root), parts);
    if (!key) return false;
    for (const auto& w : g_watches)
      if (w.key.lock() == key) return true;
    return false;
  });
}

}  // namespace winsim

// ---------------------------------------------------------------- advapi32

using namespace winsim::internal;

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  WINSIM_FAIL_POINT_STATUS();
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, 0, &key)) return rc;
  key = FindPath(key, SplitPath(lpSubKey ? WStr(lpSubKey) : WStr()));
  if (!key) return ERROR_FILE_NOT_FOUND;
  REGSAM granted = 0;
  if (!Grant(key.get(), samDesired, &granted)) return ERROR_ACCESS_DENIED;
  *phkResult = NewKeyHandle(key, granted);
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  WINSIM_FAIL_POINT_STATUS();
  if (!lpSubKey) return RegOpenKeyExW(hKey, nullptr, ulOptions, samDesired, phkResult);
  WStr sub = AnsiToUtf16(lpSubKey);
  return RegOpenKeyExW(hKey, sub.c_str(), ulOptions, samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition) {
  WINSIM_FAIL_POINT_STATUS();
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (lpSubKey[0] == '\\') return ERROR_BAD_PATHNAME;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  REGSAM access = 0;
  if (LSTATUS rc = Resolve(hKey, &key, &access)) return rc;
  std::vector<WStr> parts = SplitPath(lpSubKey);
  auto existing = FindPath(key, parts);
  if (!existing && !(access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  REGSAM granted = 0;
  if (!Grant(existing ? existing.get() : key.get(), samDesired, &granted)) return ERROR_ACCESS_DENIED;
  bool created = false;
  key = CreatePath(key, parts, true, &created);
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *phkResult = NewKeyHandle(key, granted);
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  WINSIM_FAIL_POINT_STATUS();
  if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_USERS || hKey == HKEY_CLASSES_ROOT)
    return ERROR_SUCCESS;
  if (!LookupHandleAs<KeyHandle>(reinterpret_cast<HANDLE>(hKey))) return ERROR_INVALID_HANDLE;
  RemoveHandle(reinterpret_cast<HANDLE>(hKey));
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  WINSIM_FAIL_POINT_STATUS();
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, KEY_QUERY_VALUE, &key)) return rc;
  RegValue* value = FindValue(key.get(), lpValueName);
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (lpType) *lpType = value->type;
  return CopyOut(value->data.data(), static_cast<DWORD>(value->data.size()), lpData, lpcbData);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  WINSIM_FAIL_POINT_STATUS();
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  WStr name = lpValueName ? AnsiToUtf16(lpValueName) : WStr();
  DWORD type = 0, size = 0;
  if (LSTATUS rc = RegQueryValueExW(hKey, name.c_str(), nullptr, &type, nullptr, &size)) return rc;
  std::vector<BYTE> data(size);
  for (;;) {
    DWORD got = static_cast<DWORD>(data.size());
    LSTATUS rc = RegQueryValueExW(hKey, name.c_str(), nullptr, &type, data.data(), &got);
    if (rc == ERROR_MORE_DATA) {
      data.resize(got);  // changed meanwhile
      continue;
    }
    if (rc) return rc;
    data.resize(got);
    break;
  }
  if (IsStringType(type)) {
    // The "A" call answers string data in the ANSI code page.
    std::string ansi = Utf16ToAnsi(WStr(reinterpret_cast<const WCHAR*>(data.data()), data.size() / sizeof(WCHAR)));
    data.assign(ansi.begin(), ansi.end());
  }
  if (lpType) *lpType = type;
  return CopyOut(data.data(), static_cast<DWORD>(data.size()), lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  WINSIM_FAIL_POINT_STATUS();
  if (!lpData && cbData) return ERROR_NOACCESS;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, KEY_SET_VALUE, &key)) return rc;
  SetValue(key.get(), lpValueName ? WStr(lpValueName) : WStr(), dwType, lpData, cbData, true);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  WINSIM_FAIL_POINT_STATUS();
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, KEY_SET_VALUE, &key)) return rc;
  RegValue* value = FindValue(key.get(), lpValueName);
  if (!value) return ERROR_FILE_NOT_FOUND;
  key->values.erase(key->values.begin() + (value - key->values.data()));
  key->lastWrite = Now();
  Notify(key.get(), REG_NOTIFY_CHANGE_LAST_SET);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  WINSIM_FAIL_POINT_STATUS();
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, 0, &key)) return rc;
  key = FindPath(key, SplitPath(lpSubKey));
  if (!key) return ERROR_FILE_NOT_FOUND;
  // Roots cannot go, and a key goes only once its subkeys are gone.
  if (!key->parent || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
  REGSAM granted = 0;
  if (!Grant(key.get(), 0x00010000 /* DELETE */, &granted)) return ERROR_ACCESS_DENIED;
  RemoveKey(key);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  WINSIM_FAIL_POINT_STATUS();
  if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, KEY_ENUMERATE_SUB_KEYS, &key)) return rc;
  if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = key->subkeys.begin();
  std::advance(it, dwIndex);
  const RegKey& sub = *it->second;
  if (sub.name.size() >= *lpcchName) return ERROR_MORE_DATA;
  memcpy(lpName, sub.name.c_str(), (sub.name.size() + 1) * sizeof(WCHAR));
  *lpcchName = static_cast<DWORD>(sub.name.size());
  if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = sub.lastWrite;
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  WINSIM_FAIL_POINT_STATUS();
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, KEY_QUERY_VALUE, &key)) return rc;
  if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  const RegValue& value = key->values[dwIndex];
  if (value.name.size() >= *lpcchValueName) return ERROR_MORE_DATA;
  memcpy(lpValueName, value.name.c_str(), (value.name.size() + 1) * sizeof(WCHAR));
  *lpcchValueName = static_cast<DWORD>(value.name.size());
  if (lpType) *lpType = value.type;
  return CopyOut(value.data.data(), static_cast<DWORD>(value.data.size()), lpData, lpcbData);
}

LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                BOOL fAsynchronous) {
  WINSIM_FAIL_POINT_STATUS();
  const DWORD kThreadAgnostic = 0x10000000;
  if ((dwNotifyFilter & 0xF) == 0 || (dwNotifyFilter & ~(0xFu | kThreadAgnostic))) return ERROR_INVALID_PARAMETER;
  // A synchronous watch would block this thread until the change: not modelled.
  if (!fAsynchronous) return ERROR_CALL_NOT_IMPLEMENTED;
  if (!hEvent) return ERROR_INVALID_PARAMETER;
  auto event = LookupHandleAs<EventObject>(hEvent);
  if (!event) return ERROR_INVALID_HANDLE;
  auto lock = LockRegistry();
  std::shared_ptr<RegKey> key;
  if (LSTATUS rc = ResolveFor(hKey, KEY_NOTIFY, &key)) return rc;
  HANDLE handle = reinterpret_cast<HANDLE>(hKey);
  auto block = g_notifyBlocks.emplace(handle, std::make_pair(dwNotifyFilter, bWatchSubtree != FALSE)).first;
  for (auto it = g_watches.begin(); it != g_watches.end();)
    it = it->handle == handle ? g_watches.erase(it) : std::next(it);  // one pending request per handle
  g_watches.push_back(Watch{key, handle, block->second.second, block->second.first, event});
  WatchArmed().NotifyAll();
  return ERROR_SUCCESS;
}
