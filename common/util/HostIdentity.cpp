#include "common/util/HostIdentity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include "common/util/ScopedHandle.h"
#include "common/util/file/FileHelper_win32.h"

namespace {

std::string g_strInstallDir;

std::mutex& InstallDirLock() {
  static std::mutex lock;
  return lock;
}

bool AdapterQualifies(const IP_ADAPTER_INFO& adapter) {
  if (strstr(adapter.Description, "VPN Virtual") != nullptr) return false;
  if (strstr(adapter.Description, "VMware Virtual") != nullptr) return false;
  if (strstr(adapter.IpAddressList.IpAddress.String, "0.0.0.0") != nullptr) return false;
  return adapter.Type == MIB_IF_TYPE_ETHERNET || adapter.Type == IF_TYPE_IEEE80211;
}

std::string HardwareAddressText(const IP_ADAPTER_INFO& adapter) {
  std::string text;
  UINT length = adapter.AddressLength;
  if (length > MAX_ADAPTER_ADDRESS_LENGTH) length = MAX_ADAPTER_ADDRESS_LENGTH;
  for (UINT i = 0; i < length; ++i) {
    char byte[4];
    snprintf(byte, sizeof(byte), "%02X", static_cast<unsigned>(adapter.Address[i]));
    if (i > 0) text += '-';
    text += byte;
  }
  return text;
}

// Cuts `text` where its last `marker` starts, when that is not the beginning.
void CutAtLast(std::string& text, const char* marker) {
  size_t position = text.rfind(marker);
  if (position != std::string::npos && position > 0) text.erase(position);
}

std::string InstallDirFromRegistry(const WCHAR* subKey) {
  WString value;
  if (!RegReadString(HKEY_LOCAL_MACHINE, subKey, WIDE("UninstallExe"), value)) return std::string();
  std::string path = WideToAnsi(value);
  return GetDirFromPath(path.c_str());
}

}  // namespace

uint32_t GetAdapterAddressList(std::list<std::string>& list, bool bMac) {
  ULONG size = 0;
  MallocBlock<IP_ADAPTER_INFO> table;
  if (GetAdaptersInfo(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size > 0) {
    table.Reset(static_cast<IP_ADAPTER_INFO*>(malloc(size)));
    if (table.IsValid() && GetAdaptersInfo(table.Get(), &size) != ERROR_SUCCESS) table.Reset();
  }
  for (const IP_ADAPTER_INFO* adapter = table.Get(); adapter != nullptr; adapter = adapter->Next) {
    if (!AdapterQualifies(*adapter)) continue;
    list.push_back(bMac ? HardwareAddressText(*adapter) : std::string(adapter->IpAddressList.IpAddress.String));
  }
  table.Reset();
  return list.empty() ? static_cast<uint32_t>(GetLastError()) : 0;
}

void GetLocalIpList(std::list<std::string>& list) { GetAdapterAddressList(list, false); }

std::string CreateGuidString() {
  UUID uuid;
  memset(&uuid, 0, sizeof(uuid));
  UuidCreate(&uuid);
  char text[64];
  snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", static_cast<unsigned>(uuid.Data1),
           static_cast<unsigned>(uuid.Data2), static_cast<unsigned>(uuid.Data3), uuid.Data4[0], uuid.Data4[1],
           uuid.Data4[2], uuid.Data4[3], uuid.Data4[4], uuid.Data4[5], uuid.Data4[6], uuid.Data4[7]);
  return text;
}

std::string GetOsUserName() {
  char name[MAX_PATH];
  memset(name, 0, sizeof(name));
  DWORD length = MAX_PATH;
  if (!GetUserNameA(name, &length)) return std::string();
  name[MAX_PATH - 1] = 0;
  return name;
}

std::string GetModuleDir() {
  char path[MAX_PATH];
  memset(path, 0, sizeof(path));
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0) return "\\";
  path[MAX_PATH - 1] = 0;
  std::string text(path);
  size_t backslash = text.rfind('\\');
  if (backslash != std::string::npos) text.erase(backslash);
  return text + "\\";
}

std::string GetInstallDir() {
  std::lock_guard<std::mutex> guard(InstallDirLock());
  if (!g_strInstallDir.empty()) return g_strInstallDir;

  std::string dir = InstallDirFromRegistry(WIDE("SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper"));
  if (dir.empty()) dir = InstallDirFromRegistry(WIDE("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"));
  if (dir.empty()) {
    dir = InstallDirFromHostDir(GetModuleDir());
  }
  // An empty result is not kept: the next call looks again.
  g_strInstallDir = dir;
  return dir;
}

std::string InstallDirFromHostDir(const std::string& hostDir) {
  // An agent installed as <dir>\x64\ or <dir>\x86\ runs its host from there.
  std::string dir = hostDir;
  CutAtLast(dir, "x86");
  CutAtLast(dir, "x64");
  return dir;
}

std::string GetInstallBinDir(bool bX86) { return GetInstallDir() + (bX86 ? "x86\\" : "x64\\"); }

bool RegReadString(HKEY hRoot, const WString& subKey, const WString& valueName, WString& out) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(hRoot, subKey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS || hKey == nullptr) return false;
  RegKey key(hKey);

  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if ((type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) || size == 0) return false;

  // Room for the data plus a terminator the registry may not have stored.
  std::unique_ptr<WCHAR[]> data(new WCHAR[static_cast<size_t>(size) + 1]());
  DWORD readSize = size;
  DWORD readType = REG_NONE;
  LSTATUS status = RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &readType,
                                    reinterpret_cast<LPBYTE>(data.get()), &readSize);
  if (status == ERROR_SUCCESS && (readType == REG_SZ || readType == REG_EXPAND_SZ || readType == REG_MULTI_SZ) &&
      readSize <= size) {
    size_t units = readSize / sizeof(WCHAR);
    size_t length = 0;
    while (length < units && data[length] != 0) ++length;
    out.assign(data.get(), length);
  }
  return true;
}
