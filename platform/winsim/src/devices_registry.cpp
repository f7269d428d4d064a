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
  for (const auto& c : classes) {
    std::u16string path = u"SYSTEM\\CurrentControlSet\\Control\\Class\\{" + Utf16(GuidText(c.guid)) + u"}";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
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

void TouchPortableDeviceKey(const std::u16string& id, const std::u16string& name) {
  // Windows keys portable devices by their device path: the instance ID with
  // '#' for '\'.
  std::u16string sub = id;
  for (auto& c : sub)
    if (c == u'\\') c = u'#';
  std::u16string path = u"SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices\\" + sub;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  SetString(key, u"FriendlyName", name);
  RegCloseKey(key);
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
