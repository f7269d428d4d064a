// The device tree's traces in the registry and the file system: class installer
// keys, the portable-devices key, INF files. Goes through the Win32 registry
// functions so registry watchers are notified as on Windows.
#include <fstream>
#include <sstream>

#include "devices.h"

namespace winsim {
namespace internal {

namespace {

void SetString(HKEY key, const char16_t* name, const std::u16string& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 DWORD((value.size() + 1) * sizeof(char16_t)));
}

void SetMultiString(HKEY key, const char16_t* name, const std::vector<std::u16string>& values) {
  std::u16string block;
  for (const auto& v : values) block += v + u'\0';
  block += u'\0';
  RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(block.data()),
                 DWORD(block.size() * sizeof(char16_t)));
}

}  // namespace

void WriteClassKeys(const std::vector<SetupClass>& classes) {
  SystemRights system;
  for (const auto& c : classes) {
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Control\\Class\\{" + Utf16(GuidText(c.guid)) + u"}";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
      continue;
    SetString(key, u"Class", c.name);
    if (!c.description.empty()) SetString(key, u"", c.description);
    if (!c.upperFilters.empty()) SetMultiString(key, u"UpperFilters", c.upperFilters);
    if (!c.lowerFilters.empty()) SetMultiString(key, u"LowerFilters", c.lowerFilters);
    if (c.noInstallClass) SetString(key, u"NoInstallClass", u"1");
    if (c.noDisplayClass) SetString(key, u"NoDisplayClass", u"1");
    RegCloseKey(key);
  }
}

namespace {

// Windows keys portable devices by their device path: the instance ID with
// '#' for '\'.
std::u16string PortableDeviceKey(const std::u16string& id) {
  std::u16string sub = id;
  for (auto& c : sub)
    if (c == u'\\') c = u'#';
  return u"SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices\\" + sub;
}

// Deletes `path` below `parent` with everything under it, key by key.
void DeleteKeyTree(HKEY parent, const std::u16string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  for (;;) {
    WCHAR name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    DeleteKeyTree(key, name);
    HKEY check = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &check) == ERROR_SUCCESS) {  // could not go: stop
      RegCloseKey(check);
      break;
    }
  }
  RegCloseKey(key);
  RegDeleteKeyW(parent, path.c_str());
}

}  // namespace

void TouchPortableDeviceKey(const std::u16string& id, const std::u16string& name) {
  SystemRights system;
  std::u16string path = PortableDeviceKey(id);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  SetString(key, u"FriendlyName", name);
  RegCloseKey(key);
}

void DeletePortableDeviceKey(const std::u16string& id) {
  SystemRights system;
  DeleteKeyTree(HKEY_LOCAL_MACHINE, PortableDeviceKey(id));
}

bool ReadMachineFile(const std::u16string& windowsPath, std::string* bytes) {
  std::string host;
  DWORD error = 0;
  if (!TranslatePath(Utf8(windowsPath), &host, &error)) return false;
  std::ifstream in(host, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  *bytes = ss.str();
  return true;
}

}  // namespace internal
}  // namespace winsim
