// Control by strategy on a small simulated machine with the real agent
// libraries: what one pass disables, audits, tips and records; the device
// lists across restarts, retries and the uninstall.
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include "DeviceOpt.h"
#include "engine_policy.h"
#include "policy_env.h"
#include "support/test_support.h"
#include "winsim/devices_control.h"

namespace {

const char kStick[] = "USB\\VID_0781&PID_5567\\4C53";
const char kRefuse[] = "USB\\VID_5555&PID_6666\\NO";
const char kHub[] = "USB\\ROOT_HUB30\\4&1&0&0";
const char kOff1[] = "USB\\VID_1111&PID_2222\\OFF1";
const char kOff2[] = "USB\\VID_1111&PID_2223\\OFF2";
const char kForbidFile[] = "config/ForbidDeviceInfo.dat";

// Running unless noted. 0x0180600A: started, disableable, removable.
const char kMachine[] = R"json({
  "classes": [
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"},
    {"name": "Printer", "guid": "4d36e979-e325-11ce-bfc1-08002be10318"}
  ],
  "devices": [
    {"id": "USB\\VID_0781&PID_5567\\4C53", "class": "USB", "name": "Cl\u00e9 USB", "status": "0x0180600A"},
    {"id": "USB\\VID_1111&PID_2222\\OFF1", "class": "USB", "name": "Off one", "status": "0x01806400", "problem": 22},
    {"id": "USB\\VID_1111&PID_2223\\OFF2", "class": "USB", "name": "Off two", "status": "0x01806400", "problem": 22},
    {"id": "USB\\ROOT_HUB30\\4&1&0&0", "class": "USB", "name": "USB Root Hub (USB 3.0)", "status": "0x0180600A"},
    {"id": "USB\\VID_3333&PID_4444\\RO", "class": "USB", "name": "Removable only", "status": "0x0180400A"},
    {"id": "USB\\VID_5555&PID_6666\\NO", "class": "USB", "name": "Refuser", "status": "0x0180600A",
     "installer": "refuse"},
    {"id": "USB\\VID_7777&PID_0001\\TWO", "class": "USB", "name": "Two IDs", "status": "0x0180600A"},
    {"id": "USBPRINT\\HP\\1", "class": "Printer", "name": "Printer", "status": "0x0180600A"}
  ]
})json";

size_t LineCount(const std::string& relative) {
  std::string text = policytest::ReadInstallFile(relative);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::vector<std::string> Disabled() {
  std::vector<std::string> ids;
  for (const auto& entry : winsim::DeviceJournal())
    if (entry.change == "disabled") ids.push_back(entry.instanceId);
  return ids;
}

std::vector<std::string> Paths(const std::vector<stDevice>& list) {
  std::vector<std::string> paths;
  for (const stDevice& device : list) paths.push_back(device.strInstancePath);
  return paths;
}

class PolicyEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    policytest::Install();
    policytest::WritePolicy(enginetest::kPolicy);
    policytest::RemoveInstallFile(kForbidFile);
    std::string error;
    ASSERT_TRUE(winsim::LoadDeviceTreeJson(kMachine, &error)) << error;
    winsim::ClearFailures();
    winsim::ClearDeviceJournal();
    winsim::SetCommandLine("Z:\\agent\\x64\\vaulthelper.exe -embedding");
    audit_ = LineCount("audit/audit.jsonl");
    tips_ = LineCount("notify/notifications.jsonl");
    manage_.reset(new device_manage);
  }
  void TearDown() override { winsim::SetCommandLine(""); }

  // The device thread's first pass.
  void FirstPass() {
    manage_->InitSysParamDeviceInfo();
    manage_->LoadDevice();
    manage_->ReLoadDevice();
    manage_->ControlDeviceByStrategy();
  }
  bool Running(const char* id) { return winsim::GetDeviceState(id).started; }

  std::unique_ptr<device_manage> manage_;
  size_t audit_ = 0, tips_ = 0;
};

}  // namespace

TEST_F(PolicyEngine, OnePassForbidsAuditsTipsAndRecordsAsTheRulesSay) {
  FirstPass();
  // Only the stick really goes down; the refusing device is tried.
  EXPECT_EQ(Disabled(), std::vector<std::string>{kStick});
  EXPECT_TRUE(Running(kRefuse));
  EXPECT_TRUE(Running(kHub));
  EXPECT_TRUE(Running("USB\\VID_3333&PID_4444\\RO"));  // removable, not disableable
  EXPECT_TRUE(Running("USB\\VID_7777&PID_0001\\TWO"));  // its last ID has no strategy

  // Recorded: the stick and the failed forbid; not the devices already off.
  EXPECT_EQ(Paths(manage_->m_vecForbidDeviceInfo), (std::vector<std::string>{kStick, kRefuse}));
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile),
            R"([{"deviceName_10":"USB\\VID_0781&PID_5567\\4C53"},{"deviceName_10":"USB\\VID_5555&PID_6666\\NO"}])");

  // Two audit records, forbidden (0x50101) then failed (0x50102).
  ASSERT_EQ(LineCount("audit/audit.jsonl"), audit_ + 2);
  std::string audit = policytest::ReadInstallFile("audit/audit.jsonl");
  size_t stick = audit.rfind("\"operateType\":327937");
  ASSERT_NE(stick, std::string::npos);
  EXPECT_NE(audit.find("\"policyId\":1024,\"policyGroupId\":268632065", stick), std::string::npos);
  EXPECT_NE(audit.find("\"deviceName\":\"Cl\xC3\xA9 USB\",\"deviceType\":\"Universal Serial Bus controllers", stick),
            std::string::npos);
  EXPECT_NE(policytest::LastLine("audit/audit.jsonl").find("\"operateType\":327938"), std::string::npos);

  // Tips: the stick after its disable and the two devices already off.
  ASSERT_EQ(LineCount("notify/notifications.jsonl"), tips_ + 3);
  EXPECT_NE(policytest::LastLine("notify/notifications.jsonl").find("Off two"), std::string::npos);

  // The printer was judged as an "other" device and stays so until a reload.
  auto printer = std::find_if(manage_->g_vecDeviceInfo.begin(), manage_->g_vecDeviceInfo.end(),
                              [](const stDevice& d) { return d.strInstancePath == "USBPRINT\\HP\\1"; });
  ASSERT_NE(printer, manage_->g_vecDeviceInfo.end());
  EXPECT_EQ(printer->strDeviceClassGuid, DEVICE_CLASS_OTHER);

  // Outside the helper process nothing is audited or shown; a second pass
  // changes nothing either.
  winsim::SetCommandLine("Z:\\agent\\x64\\cpfhost.exe");
  manage_->ControlDeviceByStrategy();
  EXPECT_EQ(LineCount("audit/audit.jsonl"), audit_ + 2);
  EXPECT_EQ(LineCount("notify/notifications.jsonl"), tips_ + 3);
  EXPECT_EQ(manage_->m_vecForbidDeviceInfo.size(), 2u);
}

TEST_F(PolicyEngine, ListedRootHubIsDroppedAndNeverDisabledEvenByAnEarlyReset) {
  policytest::WriteInstallFile(kForbidFile, std::string(R"([{"deviceName_10":"USB\\ROOT_HUB30\\4&1&0&0"},)") +
                                                R"({"deviceName_10":"USB\\VID_0781&PID_5567\\4C53"}])");
  manage_->LoadDevice();
  ASSERT_EQ(manage_->m_vecForbidDeviceInfo.size(), 2u);
  // The other thread may reset before the first pass has matched the entries.
  manage_->ReSetDevice();
  EXPECT_TRUE(Disabled().empty());

  manage_->ReLoadDevice();
  manage_->ControlDeviceByStrategy();
  EXPECT_EQ(Disabled(), std::vector<std::string>{kStick});
  EXPECT_EQ(Paths(manage_->m_vecForbidDeviceInfo), (std::vector<std::string>{kStick, kRefuse}));
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile).find("ROOT_HUB"), std::string::npos);

  // Once matched, a listed device that runs again is disabled again.
  stDevice stick = manage_->m_vecForbidDeviceInfo[0];
  manage_->m_DeviceControl.EnableDevice(stick);
  ASSERT_TRUE(Running(kStick));
  manage_->ReSetDevice();
  EXPECT_FALSE(Running(kStick));
  EXPECT_TRUE(Running(kHub));
}

TEST_F(PolicyEngine, FailedEnableIsRecordedOnceAndRetriedUntilItWorks) {
  policytest::WritePolicy(R"({"sysParams": {"0x20060001": []}})");  // nothing forbidden any more
  stDevice off1;
  off1.strInstancePath = kOff1;
  off1.strDeviceClassGuid = DEVICE_CLASS_USB;
  off1.strDeviceName = "Off one";
  off1.dwStatus_Now = DEVICE_STATE_NOT_STARTED;
  stDevice off2 = off1;
  off2.strInstancePath = kOff2;
  std::string strategy = "1024";
  // Every engine call fails, so the device keeps its state and both enables fail.
  winsim::FailCall("SetupDiCreateDeviceInfoListExW", 5 /* ERROR_ACCESS_DENIED */, -1);
  for (int round = 0; round < 2; ++round) {
    manage_->m_vecForbidDeviceInfo.push_back(off1);
    EXPECT_NE(manage_->Do_ForbidOrEnable(0, off1, 0, 1, strategy), 0u);
    EXPECT_TRUE(manage_->m_vecForbidDeviceInfo.empty());
  }
  EXPECT_EQ(Paths(manage_->m_vecEnableFailDeviceInfo), std::vector<std::string>{kOff1});
  ASSERT_EQ(LineCount("notify/notifications.jsonl"), tips_ + 2);
  EXPECT_NE(policytest::LastLine("notify/notifications.jsonl").find("could not be enabled"), std::string::npos);

  // A device nobody of ours disabled is left as it is.
  manage_->Do_ForbidOrEnable(0, off2, 0, 1, strategy);
  EXPECT_EQ(manage_->m_vecEnableFailDeviceInfo.size(), 1u);

  // Two adjacent entries that now enable are both removed in one reset.
  winsim::ClearFailures();
  manage_->m_vecEnableFailDeviceInfo.push_back(off2);
  manage_->ReSetDevice();
  EXPECT_TRUE(manage_->m_vecEnableFailDeviceInfo.empty());
  EXPECT_TRUE(Running(kOff1));
  EXPECT_TRUE(Running(kOff2));
}

TEST_F(PolicyEngine, UninstallEnablesEverythingAndNoLaterPassUndoesIt) {
  FirstPass();
  ASSERT_FALSE(Running(kStick));
  manage_->SetUninstall(1);
  EXPECT_EQ(manage_->EnableDeviceBeforeUninstall(), 0u);
  EXPECT_TRUE(Running(kStick));
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), "");

  // A pass that was waiting for the uninstall does nothing afterwards.
  winsim::ClearDeviceJournal();
  manage_->ReLoadDevice();
  manage_->ControlDeviceByStrategy();
  EXPECT_TRUE(Disabled().empty());
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), "");
}
