// The decision journal: one JSON object per line, written only when a
// device's outcome changes, readable whatever the device calls itself.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include "DecisionJournal.h"
#include "policy_env.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

}  // namespace

TEST(DecisionJournal, WritesAnOutcomeOnceAndEveryChangeOfIt) {
  policytest::Install();
  const char kRelative[] = "tpmlog/decisions_test.jsonl";
  policytest::RemoveInstallFile(kRelative);
  decision_journal journal;
  journal.SetPath(policytest::Install().windowsDir + "tpmlog\\decisions_test.jsonl");

  DeviceDecisionLine line;
  line.strInstanceId = "USBSTOR\\DISK&VEN_EVIL\\1";
  // A device names itself: quotes, a line feed and a tab must not break the line.
  line.strName = "Evil \"Disk\"\nUSB\tDevice";
  line.strClassGuid = "4d36e967-e325-11ce-bfc1-08002be10318";
  line.bForbid = true;
  line.strStrategy = "1024";
  line.vecDeviceIds = {"USB-STORAGE", "ALL-DISKS"};
  line.vecDefinitions = {"usb storage", "all disks"};
  line.pszAction = journal_action::kDisabled;
  EXPECT_TRUE(journal.Record(line));
  EXPECT_FALSE(journal.Record(line));  // a quiet pass writes nothing
  line.pszAction = journal_action::kAlreadyOff;
  EXPECT_FALSE(journal.Record(line));  // found off after its disable: the same outcome
  line.pszAction = journal_action::kNotDisableable;
  EXPECT_TRUE(journal.Record(line));
  line.pszAction = journal_action::kDisabled;
  EXPECT_TRUE(journal.Record(line));  // back to an earlier outcome: a change too
  DeviceDecisionLine other;
  other.strInstanceId = "USB\\VID_046D&PID_C52B\\1";
  other.strGuard = "an input device";
  other.pszAction = journal_action::kGuarded;
  other.ret = 0x50102;
  EXPECT_TRUE(journal.Record(other));
  journal.Reset();
  EXPECT_TRUE(journal.Record(other));  // a new run says it again

  std::vector<std::string> lines = Lines(policytest::ReadInstallFile(kRelative));
  ASSERT_EQ(lines.size(), 5u);
  rapidjson::Document first;
  ASSERT_FALSE(first.Parse(lines[0].c_str()).HasParseError()) << lines[0];
  const char* const kMembers[] = {"time",      "instanceId",  "name",      "classGuid", "verdict", "strategy",
                                  "deviceIds", "definitions", "exclusion", "guard",     "action",  "result"};
  ASSERT_EQ(first.MemberCount(), sizeof(kMembers) / sizeof(kMembers[0]));
  size_t index = 0;
  for (auto member = first.MemberBegin(); member != first.MemberEnd(); ++member, ++index)
    EXPECT_STREQ(member->name.GetString(), kMembers[index]);
  EXPECT_GT(first["time"].GetInt64(), 1600000000000LL);
  EXPECT_EQ(std::string(first["name"].GetString()), line.strName);
  EXPECT_STREQ(first["verdict"].GetString(), "forbid");
  EXPECT_EQ(first["deviceIds"].Size(), 2u);
  EXPECT_STREQ(first["definitions"][1].GetString(), "all disks");
  EXPECT_STREQ(first["action"].GetString(), "disabled");
  EXPECT_STREQ(first["result"].GetString(), "0x0");
  rapidjson::Document guarded;
  guarded.Parse(lines[3].c_str());
  EXPECT_STREQ(guarded["verdict"].GetString(), "allow");
  EXPECT_STREQ(guarded["action"].GetString(), "guarded");
  EXPECT_STREQ(guarded["result"].GetString(), "0x50102");
}
