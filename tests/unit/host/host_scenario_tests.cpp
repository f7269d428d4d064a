// The scenario player: steps act on the machine and the installation, the
// timeline shows only what the traces recorded (not what was there before),
// and a broken script changes nothing.
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host_scenario.h"
#include "support/test_support.h"
#include "platform/winapi.h"
#include "winsim/devices_control.h"

namespace {

const char kMachine[] = R"({
  "sandbox": "c",
  "registry": [{"key": "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper",
                "values": {"UninstallExe": "C:\\Vault\\uninst.exe"}}],
  "classes": [{"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"}],
  "devices": [{"id": "USB\\VID_0781&PID_5567\\77", "class": "USB", "name": "Stick", "status": "0x0180600A",
               "present": false, "interfaces": ["USB device"]}]
})";

HostOptions Options(const std::string& scenarioPath) {
  HostOptions options;
  options.scenarioPath = scenarioPath;
  return options;
}

std::string Play(const std::string& scenarioPath) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  HostPlayScenario(Options(scenarioPath));
  std::string err = testing::internal::GetCapturedStderr();
  return testing::internal::GetCapturedStdout() + err;
}

TEST(HostScenario, StepsActAndTimelineShowsOnlyNewTraces) {
  std::string dir = dmtest::MakeTempDir("scenario");
  std::string error;
  ASSERT_TRUE(winsim::LoadMachineJson(kMachine, dir, &error)) << error;
  std::string install = dir + "/c/Vault/";
  std::filesystem::create_directories(install + "config");
  std::filesystem::create_directories(install + "audit");
  ASSERT_TRUE(dmtest::WriteTextFile(install + "config/agent.json", R"({"sessionId": 3, "settings": {"46": 1}})"));
  ASSERT_TRUE(dmtest::WriteTextFile(install + "audit/audit.jsonl",
                                    R"({"operateType": 327937, "businessInfo": [{"deviceName": "Old"}]})"
                                    "\n"));
  ASSERT_TRUE(dmtest::WriteTextFile(dir + "/p.json", R"({"strategies": []})"));

  // A broken script is refused before any step runs.
  ASSERT_TRUE(dmtest::WriteTextFile(dir + "/bad.json", R"({"steps": [{"plug": "X"}, {"jump": 1}]})"));
  std::string out = Play(dir + "/bad.json");
  EXPECT_NE(out.find("step 2: unknown member \"jump\""), std::string::npos) << out;
  EXPECT_FALSE(HostCheckScenario(Options(dir + "/bad.json"), &error));
  EXPECT_EQ(dmtest::ReadTextFile(install + "config/policy.json"), "");

  ASSERT_TRUE(dmtest::WriteTextFile(dir + "/s.json", R"({
    // the module's stand-in below writes one audit record right after the
    // plug, maybe before the wait begins: the wait still sees it, as it looks
    // at everything since the last action
    "steps": [
      {"policy": "p.json"},
      {"agentState": "uninstalling"},
      {"plug": "USB\\VID_0781&PID_5567\\77", "note": "stick"},
      {"wait": 20000, "until": "device forbidden"},
    ],
    "settle": 0
  })"));
  std::thread module([&] {
    while (!winsim::GetDeviceState("USB\\VID_0781&PID_5567\\77").present) Sleep(10);
    std::ofstream(install + "audit/audit.jsonl", std::ios::app)
        << R"({"operateType": 327937, "logTime": 1, "policyId": 1001,)"
           R"( "businessInfo": [{"businessType": 6, "deviceInfo": {"deviceName": "Stick"}}]})"
           "\n";
  });
  // An earlier run's log in the same sandbox is not this run's; what the
  // module writes after the host looked is.
  std::filesystem::create_directories(install + "tpmlog");
  const std::string logLine = "2026-01-01 00:00:00, dm ERROR(1-1)0[1 f.cpp Fn], ";
  ASSERT_TRUE(dmtest::WriteTextFile(install + "tpmlog/log_device.txt", logLine + "earlier run\n"));
  ASSERT_TRUE(HostCheckScenario(Options(dir + "/s.json"), &error)) << error;
  std::ofstream(install + "tpmlog/log_device.txt", std::ios::app) << logLine << "this run\n";
  out = Play(dir + "/s.json");
  module.join();
  EXPECT_EQ(out.find("earlier run"), std::string::npos) << out;
  EXPECT_NE(out.find("ERROR Fn: this run"), std::string::npos) << out;

  EXPECT_EQ(dmtest::ReadTextFile(install + "config/policy.json"), R"({"strategies": []})");
  rapidjson::Document agent;
  agent.Parse(dmtest::ReadTextFile(install + "config/agent.json").c_str());
  ASSERT_TRUE(agent.IsObject());
  EXPECT_EQ(agent["sessionId"].GetUint(), 3u);
  EXPECT_EQ(agent["settings"]["46"].GetUint(), 1u);
  EXPECT_EQ(agent["settings"]["7"].GetUint(), 268435456u);

  EXPECT_NE(out.find("scenario  plug USB\\VID_0781&PID_5567\\77  (stick)"), std::string::npos) << out;
  EXPECT_NE(out.find("device    USB\\VID_0781&PID_5567\\77: plugged"), std::string::npos) << out;
  EXPECT_NE(out.find("device forbidden: \"Stick\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"device forbidden\" seen"), std::string::npos) << out;
  EXPECT_EQ(out.find("\"Old\""), std::string::npos) << out;
  EXPECT_NE(out.find("running              USB\\VID_0781&PID_5567\\77"), std::string::npos) << out;
}

}  // namespace
