#include "policy_env.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include "platform/winapi.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace policytest {

namespace {

Installation Create() {
  Installation install = dmtest::MakeAgentInstall("policy");
  dmtest::WriteTextFile(install.hostDir + "config/agent.json",
                        std::string("{\"sessionId\":") + std::to_string(kSessionId) + ",\"userSid\":\"" + kUserSid +
                            "\",\"clientGuid\":\"" + kClientGuid + "\",\"serverAddress\":\"" + kServer +
                            "\",\"settings\":{\"46\":0}}");
  return install;
}

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

std::string ReadDiagLog() { return dmtest::ReadDiagLogs(Install()); }

}  // namespace policytest
