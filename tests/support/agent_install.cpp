#include "support/agent_install.h"

#include <filesystem>
#include <gtest/gtest.h>
#include "winapi.h"  // platform/ is on the path of every test program
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace dmtest {
namespace {

const WCHAR kServiceKey[] = WIDE("SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper");

class RegistryCleanup : public ::testing::Environment {
 public:
  void TearDown() override { RemoveAgentInstallValue(); }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new RegistryCleanup);

}  // namespace

void RemoveAgentInstallValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, WIDE("UninstallExe"));
    RegCloseKey(key);
  }
}

std::string ToWindowsPath(std::string hostPath) {
  for (char& c : hostPath)
    if (c == '/') c = '\\';
#ifndef _WIN32
  hostPath = "Z:" + hostPath;  // winsim maps drive Z: to the host's root
#endif
  return hostPath;
}

AgentInstall MakeAgentInstall(const std::string& tag) {
  AgentInstall install;
  install.hostDir = MakeTempDir(tag) + "/";
  install.windowsDir = ToWindowsPath(install.hostDir);
  fs::create_directories(install.hostDir + "config");
  fs::create_directories(install.hostDir + "tpmlog");
  std::string exe = install.windowsDir + "uninst.exe";
  std::basic_string<WCHAR> value(exe.begin(), exe.end());
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, WIDE("UninstallExe"), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))),
            ERROR_SUCCESS);
  if (key) RegCloseKey(key);
  return install;
}

std::string ReadDiagLogs(const AgentInstall& install) {
  std::string all;
  fs::path dir = install.hostDir + "tpmlog";
  std::error_code ec;
  if (!fs::exists(dir, ec)) return all;
  for (const auto& entry : fs::directory_iterator(dir)) all += ReadTextFile(entry.path().string());
  return all;
}

}  // namespace dmtest
