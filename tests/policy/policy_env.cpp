#include "policy_env.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include "platform/winapi.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace policytest {

const char* const kUserSid = "S-1-5-21-7-1001";
const char* const kClientGuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
const char* const kServer = "10.20.30.40";

namespace {

const WCHAR kServiceKey[] = WIDE("SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper");

std::string ToWindowsPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
#ifndef _WIN32
  path = "Z:" + path;  // winsim maps drive Z: to the host's root
#endif
  return path;
}

Installation Create() {
  Installation install;
  install.hostDir = dmtest::MakeTempDir("policy") + "/";
  install.windowsDir = ToWindowsPath(install.hostDir);
  fs::create_directories(install.hostDir + "config");
  fs::create_directories(install.hostDir + "tpmlog");
  dmtest::WriteTextFile(install.hostDir + "config/agent.json",
                        std::string("{\"sessionId\":") + std::to_string(kSessionId) + ",\"userSid\":\"" + kUserSid +
                            "\",\"clientGuid\":\"" + kClientGuid + "\",\"serverAddress\":\"" + kServer +
                            "\",\"settings\":{\"46\":0}}");
  std::string exe = install.windowsDir + "uninst.exe";
  std::basic_string<WCHAR> value(exe.begin(), exe.end());
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, WIDE("UninstallExe"), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))),
            ERROR_SUCCESS);
  RegCloseKey(key);
  return install;
}

// Under Wine the registry outlives the process: remove the value at the end.
class RegistryCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, WIDE("UninstallExe"));
      RegCloseKey(key);
    }
  }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new RegistryCleanup);

}  // namespace

const Installation& Install() {
  static const Installation install = Create();
  return install;
}

void WriteInstallFile(const std::string& relative, const std::string& text) {
  static int bump = 0;
  fs::path path = Install().hostDir + relative;
  fs::create_directories(path.parent_path());
  ASSERT_TRUE(dmtest::WriteTextFile(path.string(), text));
  fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::seconds(++bump));
}

void WritePolicy(const std::string& json) { WriteInstallFile("config/policy.json", json); }

void RemoveInstallFile(const std::string& relative) {
  std::error_code ec;
  fs::remove(Install().hostDir + relative, ec);
}

std::string ReadInstallFile(const std::string& relative) { return dmtest::ReadTextFile(Install().hostDir + relative); }

std::string LastLine(const std::string& relative) {
  std::string text = ReadInstallFile(relative);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  size_t cut = text.rfind('\n');
  return cut == std::string::npos ? text : text.substr(cut + 1);
}

std::string ReadDiagLog() {
  std::string all;
  for (const auto& entry : fs::directory_iterator(Install().hostDir + "tpmlog"))
    all += dmtest::ReadTextFile(entry.path().string());
  return all;
}

}  // namespace policytest
