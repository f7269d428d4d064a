// The lockout guard on a simulated machine under a policy that forbids every
// USB device: a receiver plugged for the first time, a network dongle, a
// tree that cannot be read, and what a device left running leaves behind.
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include "DeviceOpt.h"
#include "policy_env.h"
#include "support/test_support.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace {

const char kReceiver[] = "USB\\VID_046D&PID_C534\\5&1&0&9";
const char kReceiverHid[] = "USB\\VID_046D&PID_C534&MI_00\\6&9&0&0000";
const char kKeyboard[] = "HID\\VID_046D&PID_C534&MI_00\\7&9&0&0000";
const char kDongle[] = "USB\\VID_0B95&PID_1790\\D1";
const char kStick[] = "USB\\VID_0781&PID_5567\\4C53";

const char kMachine[] = R"json({
  "classes": [
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"},
    {"name": "HIDClass", "guid": "745a17a0-74d3-11d0-b6fe-00a0c90f57da"},
    {"name": "Keyboard", "guid": "4d36e96b-e325-11ce-bfc1-08002be10318"},
    {"name": "Net", "guid": "4d36e972-e325-11ce-bfc1-08002be10318"}
  ],
  "devices": [
    {"id": "USB\\ROOT_HUB30\\4&1&0&0", "class": "USB", "status": "0x0180200A"},
    {"id": "USB\\VID_046D&PID_C534\\5&1&0&9", "class": "USB", "name": "Receiver", "status": "0x0180600A",
     "compat": ["USB\\COMPOSITE"], "known": false, "parent": "USB\\ROOT_HUB30\\4&1&0&0"},
    {"id": "USB\\VID_046D&PID_C534&MI_00\\6&9&0&0000", "class": "HIDClass", "status": "0x0180600A",
     "compat": ["USB\\Class_03"], "startDelay": 300, "parent": "USB\\VID_046D&PID_C534\\5&1&0&9"},
    {"id": "HID\\VID_046D&PID_C534&MI_00\\7&9&0&0000", "class": "Keyboard", "status": "0x0180200A",
     "startDelay": 200, "interfaces": ["Keyboard"], "parent": "USB\\VID_046D&PID_C534&MI_00\\6&9&0&0000"},
    {"id": "USB\\VID_0B95&PID_1790\\D1", "class": "USB", "name": "Network dongle", "status": "0x0180600A",
     "compat": ["USB\\COMPOSITE"], "parent": "USB\\ROOT_HUB30\\4&1&0&0"},
    {"id": "USB\\VID_0B95&PID_1790&MI_00\\7&1&0&0000", "class": "Net", "status": "0x0180600A",
     "parent": "USB\\VID_0B95&PID_1790\\D1"},
    {"id": "USB\\VID_0781&PID_5567\\4C53", "class": "USB", "name": "Stick", "status": "0x0180600A",
     "compat": ["USB\\Class_08"], "parent": "USB\\ROOT_HUB30\\4&1&0&0"}
  ]
})json";

bool Running(const char* id) { return winsim::GetDeviceState(id).started; }

class Guard : public ::testing::Test {
 protected:
  void SetUp() override {
    policytest::Install();
    policytest::WritePolicy(enginetest::kPolicy);
    policytest::RemoveInstallFile("config/ForbidDeviceInfo.dat");
    std::string error;
    ASSERT_TRUE(winsim::LoadDeviceTreeJson(kMachine, &error)) << error;
    winsim::ClearFailures();
    winsim::SetCommandLine("Z:\\agent\\x64\\vaulthelper.exe -embedding");
    audit_ = policytest::ReadInstallFile("audit/audit.jsonl");
    tips_ = policytest::ReadInstallFile("notify/notifications.jsonl");
    manage_.reset(new device_manage);
    manage_->InitSysParamDeviceInfo();
    manage_->LoadDevice();
  }
  void TearDown() override {
    winsim::ClearFailures();
    winsim::SetCommandLine("");
  }
  void Pass() {
    manage_->ReLoadDevice();
    manage_->ControlDeviceByStrategy();
  }
  std::string NewAudit() { return policytest::ReadInstallFile("audit/audit.jsonl").substr(audit_.size()); }
  std::string NewTips() { return policytest::ReadInstallFile("notify/notifications.jsonl").substr(tips_.size()); }

  std::unique_ptr<device_manage> manage_;
  std::string audit_, tips_;
};

}  // namespace

TEST_F(Guard, FirstPlugOfAReceiverLosesNoKeyboardAndADongleKeepsItsNetwork) {
  Pass();
  EXPECT_FALSE(Running(kStick)) << "a stick is judged on its own IDs at once";
  EXPECT_TRUE(Running(kDongle)) << "its network adapter runs";

  // Plugged for the first time: judged at once, while its HID function is
  // only a node, and again as each function and the keyboard start.
  ASSERT_TRUE(winsim::PlugDevice(kReceiver));
  Pass();
  EXPECT_TRUE(Running(kReceiver));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  Pass();
  for (const char* id : {kReceiver, kReceiverHid, kKeyboard}) EXPECT_TRUE(Running(id)) << id;

  // Both left running are audited as failed forbids (0x50102) once and
  // tipped once, with why; a later pass adds neither.
  std::string audit = NewAudit();
  EXPECT_EQ(dmtest::Count(audit, "\"operateType\":327938"), 2u) << audit;  // the dongle and the receiver
  EXPECT_NE(NewTips().find("Network dongle\\\" is forbidden by the security policy but is kept running"),
            std::string::npos)
      << NewTips();
  size_t tips = dmtest::Count(NewTips(), "\n");
  Pass();
  EXPECT_EQ(NewAudit(), audit);
  EXPECT_EQ(dmtest::Count(NewTips(), "\n"), tips);
}

TEST_F(Guard, AnUnreadableTreeDisablesNothingThatMayCarryADeviceUntilItIsReadAgain) {
  winsim::FailCall("CM_Get_Parent", 0x13, -1);  // CR_FAILURE
  Pass();
  EXPECT_TRUE(Running(kStick)) << "a device that may carry others stays while the tree is unknown";
  EXPECT_NE(policytest::ReadDiagLog().find("the device tree is not read whole"), std::string::npos);
  winsim::ClearFailures();
  Pass();
  EXPECT_FALSE(Running(kStick));
  EXPECT_TRUE(Running(kDongle));
}
