// Strategy analysis against the real policy library and policy files written
// here: verdicts, exact element comparison, change times, bad files.
#include <gtest/gtest.h>
#include "DeviceStrategyAnalyze.h"
#include "policy_env.h"

using policytest::Install;
using policytest::WritePolicy;

namespace {

// Session 3 is the local user's (agent.json); strategy 1002 targets another.
const char* const kPolicy = R"({
  // first match in file order wins
  "strategies": [
    {"id": 1001, "type": "0x10030001", "sessions": [3], "conditions": {"deviceId_10": ["USB-*", "PORT?"]},
     "value": {"name": "removable"},
     "action": {"processMethod_10": "forbid", "logType_10": "auditLog", "needTip_10": "true"}},
    {"id": 1002, "type": "0x10030001", "sessions": [4], "conditions": {"deviceId_10": "*"},
     "action": {"processMethod_10": "forbid"}},
    {"id": "1003", "type": 268632065, "conditions": {"deviceId_10": "CASE"},
     "action": {"processMethod_10": "Forbid", "logType_10": "AuditLog", "needTip_10": " true"}},
    {"id": 1004, "type": "0x10030001", "conditions": {"deviceId_10": "NOACT"},
     "action": {"logType_10": "auditLog", "needTip_10": true}}
  ]
})";

// "forbid log tip strategy-id" of one analysis.
std::string Verdict(device_strategyanalyze& analyze, const std::string& deviceId) {
  uint32_t forbid = analyze.AnlyzeActFromStrategy(deviceId);
  return std::to_string(forbid) + " " + std::to_string(analyze.GetLog()) + " " + std::to_string(analyze.GetTip()) +
         " " + analyze.GetStrategyId();
}

}  // namespace

TEST(StrategyAnalyze, VerdictsFollowTheFirstMatchingStrategyAndExactValues) {
  Install();
  WritePolicy(kPolicy);
  device_strategyanalyze analyze;
  EXPECT_EQ(Verdict(analyze, "USB-STORAGE"), "1 1 1 1001");
  EXPECT_EQ(Verdict(analyze, "PORTX"), "1 1 1 1001");
  // Case matters in conditions; 1002 would match but targets session 4:
  // no strategy, and the members of the previous call are cleared.
  EXPECT_EQ(Verdict(analyze, "usb-storage"), "0 0 0 ");
  // Values differing in case or by a blank do not count.
  EXPECT_EQ(Verdict(analyze, "CASE"), "0 0 0 1003");
  // No processMethod_10: not forbidden whatever log and tip say.
  EXPECT_EQ(Verdict(analyze, "NOACT"), "0 1 1 1004");

  std::string diag = policytest::ReadDiagLog();
  EXPECT_NE(diag.find("Strategy not find! eRet = 0x2401"), std::string::npos);
  EXPECT_NE(diag.find("m_strStrategyId = 1001, m_bLog = 1, m_bTip = 1, eRet = 1"), std::string::npos);
  EXPECT_NE(diag.find("baStrategyValue = {\"id\":\"1001\",\"name\":\"removable\"}"), std::string::npos);
}

TEST(StrategyAnalyze, ChangeTimeMovesOnlyWithContentAndBadFilesKeepTheLastPolicy) {
  Install();
  WritePolicy(kPolicy);
  device_strategyanalyze analyze;
  EXPECT_EQ(analyze.StrategyIsChange(), 1u);
  EXPECT_NE(analyze.m_ullLastChangeTime, 0u);
  EXPECT_EQ(analyze.StrategyIsChange(), 0u);

  // Same strategies, other spacing and comments: no change.
  WritePolicy(std::string("/* rewritten */\n") + kPolicy + "\n\n");
  EXPECT_EQ(analyze.StrategyIsChange(), 0u);

  // Broken files of every kind leave the last good policy in place.
  testing::internal::CaptureStderr();
  for (const std::string& bad :
       {std::string(""), std::string("{\"strategies\": [ {\"id\": 1"), std::string("{\"strategies\": {}}"),
        std::string("{\"strategies\": [{\"id\": \"0x10\", \"type\": 1}]}"),
        std::string("{\"strategies\": [{\"id\": 5, \"type\": 1, \"action\": {\"x\": [1]}}]}"),
        std::string(10 << 20, '[')}) {
    WritePolicy(bad);
    EXPECT_EQ(analyze.StrategyIsChange(), 0u);
    EXPECT_EQ(analyze.AnlyzeActFromStrategy("USB-STORAGE"), 1u);
  }
  std::string complaints = testing::internal::GetCapturedStderr();
  EXPECT_NE(complaints.find("keeping the last good policy"), std::string::npos);

  // A real change reports once.
  std::string changed = kPolicy;
  changed.replace(changed.find("\"forbid\""), 8, "\"allow\"");
  WritePolicy(changed);
  EXPECT_EQ(analyze.StrategyIsChange(), 1u);
  EXPECT_EQ(analyze.StrategyIsChange(), 0u);
  EXPECT_EQ(analyze.AnlyzeActFromStrategy("USB-STORAGE"), 0u);

  // Without a policy file no strategy applies.
  policytest::RemoveInstallFile("config/policy.json");
  EXPECT_EQ(analyze.StrategyIsChange(), 1u);
  EXPECT_EQ(analyze.AnlyzeActFromStrategy("USB-STORAGE"), 0u);
  EXPECT_EQ(analyze.GetStrategyId(), "");
}
