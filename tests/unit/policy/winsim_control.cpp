// Control by strategy on a small simulated machine with the real agent
// libraries: what one pass disables, audits, tips and records; the device
// lists across restarts, retries and the uninstall.
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include "DeviceOpt.h"
#include "policy_env.h"
#include "support/test_support.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace {

const char kStick[] = "USB\\VID_0781&PID_5567\\4C53";
const char kRefuse[] = "USB\\VID_5555&PID_6666\\NO";
const char kHub[] = "USB\\ROOT_HUB30\\4&1&0&0";
const char kOff1[] = "USB\\VID_1111&PID_2222\\OFF1";
const char kOff2[] = "USB\\VID_1111&PID_2223\\OFF2";
const char kOffRefuser[] = "USB\\VID_5555&PID_7777\\OFFNO";
const char kForbidFile[] = "config/ForbidDeviceInfo.dat";
const char kJournal[] = "tpmlog/decisions_device.jsonl";

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
    {"id": "USB\\VID_5555&PID_7777\\OFFNO", "class": "USB", "name": "Off refuser", "status": "0x01806400",
     "problem": 22, "installer": "refuse"},
    {"id": "USB\\VID_7777&PID_0001\\TWO", "class": "USB", "name": "Two IDs", "status": "0x0180600A"},
    {"id": "USBPRINT\\HP\\1", "class": "Printer", "name": "Printer", "status": "0x0180600A"}
  ]
})json";

size_t LineCount(const std::string& relative) {
  std::string text = policytest::ReadInstallFile(relative);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The action and result of the last journal line whose instance ID ends in
// `idEnd` (with its closing quote).
std::string JournalAction(const std::string& journal, const std::string& idEnd) {
  size_t id = journal.rfind(idEnd + ",\"name\"");
  if (id == std::string::npos) return "";
  size_t action = journal.find("\"action\":", id);
  size_t end = journal.find('}', action);
  return action == std::string::npos ? "" : journal.substr(action, end - action);
}

std::vector<std::string> Disabled() {
  std::vector<std::string> ids;
  for (const auto& entry : winsim::DeviceJournal())
    if (entry.change == "disabled") ids.push_back(entry.instanceId);
  return ids;
}

stDevice FileEntry(const std::string& path) {
  stDevice device;
  device.strInstancePath = path;
  device.strDeviceClassGuid = DEVICE_CLASS_USB;
  device.dwStatus_Now = DEVICE_STATE_NOT_STARTED;
  return device;
}

std::vector<std::string> Paths(device_list& list) {
  std::vector<std::string> paths;
  for (const stDevice& device : list.Snapshot()) paths.push_back(device.strInstancePath);
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

  // The device thread's first pass, and each later one.
  void FirstPass() {
    manage_->InitSysParamDeviceInfo();
    manage_->LoadDevice();
    Pass();
  }
  void Pass() {
    manage_->ReLoadDevice();
    manage_->ControlDeviceByStrategy();
  }
  bool Running(const char* id) { return winsim::GetDeviceState(id).started; }
  device_list& Forbidden() { return device_manage_test_seam::Forbidden(*manage_); }
  device_list& EnableFailed() { return device_manage_test_seam::EnableFailed(*manage_); }

  std::unique_ptr<device_manage> manage_;
  size_t audit_ = 0, tips_ = 0;
};

}  // namespace

TEST_F(PolicyEngine, OnePassForbidsAuditsTipsAndRecordsAsTheRulesSay) {
  FirstPass();
  // Only the stick really goes down; the refusing device is tried.
  EXPECT_EQ(Disabled(), std::vector<std::string>{kStick});
  EXPECT_TRUE(Running(kRefuse));
  EXPECT_TRUE(Running("USB\\VID_3333&PID_4444\\RO"));   // removable, not disableable
  EXPECT_TRUE(Running("USB\\VID_7777&PID_0001\\TWO"));  // its last ID has no strategy

  // Recorded: the stick and the failed forbid; not the devices already off.
  EXPECT_EQ(Paths(Forbidden()), (std::vector<std::string>{kStick, kRefuse}));
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile),
            R"([{"deviceName_10":"USB\\VID_0781&PID_5567\\4C53"},{"deviceName_10":"USB\\VID_5555&PID_6666\\NO"}])");

  // Two audit records, forbidden (0x50101) then failed (0x50102).
  ASSERT_EQ(LineCount("audit/audit.jsonl"), audit_ + 2);
  std::string audit = policytest::ReadInstallFile("audit/audit.jsonl");
  size_t stick = audit.rfind("\"operateType\":327937");
  ASSERT_NE(stick, std::string::npos);
  EXPECT_NE(audit.find("\"deviceName\":\"Cl\xC3\xA9 USB\",\"deviceType\":\"Universal Serial Bus controllers", stick),
            std::string::npos);
  EXPECT_NE(policytest::LastLine("audit/audit.jsonl").find("\"operateType\":327938"), std::string::npos);

  // Tips: the stick after its disable and the three devices already off.
  ASSERT_EQ(LineCount("notify/notifications.jsonl"), tips_ + 4);
  EXPECT_NE(policytest::LastLine("notify/notifications.jsonl").find("Off refuser"), std::string::npos);

  // The printer was judged as an "other" device and stays so until a reload.
  auto printer = std::find_if(manage_->Inventory().begin(), manage_->Inventory().end(),
                              [](const stDevice& d) { return d.strInstancePath == "USBPRINT\\HP\\1"; });
  ASSERT_NE(printer, manage_->Inventory().end());
  EXPECT_EQ(printer->strDeviceClassGuid, DEVICE_CLASS_OTHER);
}

TEST_F(PolicyEngine, ListedRootHubIsDroppedAndNeverDisabledEvenByAnEarlyReset) {
  policytest::WriteInstallFile(kForbidFile, std::string(R"([{"deviceName_10":"USB\\ROOT_HUB30\\4&1&0&0"},)") +
                                                R"({"deviceName_10":"USB\\VID_0781&PID_5567\\4C53"}])");
  manage_->LoadDevice();
  ASSERT_EQ(Forbidden().Size(), 2u);
  // The other thread may reset before the first pass: it judges each entry
  // on the device's current record, so the hub is left alone and the
  // forbidden stick that runs again goes down.
  manage_->ReSetDevice();
  EXPECT_EQ(Disabled(), std::vector<std::string>{kStick});
  EXPECT_TRUE(Running(kHub));
  // The pass then drops the hub from the list (and the file: a scenario checks that).
  Pass();
  EXPECT_EQ(Paths(Forbidden()), (std::vector<std::string>{kStick, kRefuse}));
}

TEST_F(PolicyEngine, FailedEnableIsRecordedOnceAndRetriedUntilItWorks) {
  policytest::WritePolicy(R"({"sysParams": {"0x20060001": []}})");  // nothing forbidden any more
  stDevice off1 = FileEntry(kOff1), off2 = FileEntry(kOff2);
  std::string strategy = "1024";
  // Every engine call fails, so the device keeps its state and both enables fail.
  winsim::FailCall("SetupDiCreateDeviceInfoListExW", 5 /* ERROR_ACCESS_DENIED */, -1);
  for (int round = 0; round < 2; ++round) {
    Forbidden().AppendIfAbsent(off1);
    EXPECT_NE(manage_->Do_ForbidOrEnable(0, off1, 0, 1, strategy), 0u);
    EXPECT_EQ(Forbidden().Size(), 0u);
  }
  EXPECT_EQ(Paths(EnableFailed()), std::vector<std::string>{kOff1});
  EXPECT_EQ(LineCount("notify/notifications.jsonl"), tips_ + 2);

  // Two adjacent entries that now enable are both removed in one reset.
  winsim::ClearFailures();
  EnableFailed().AppendIfAbsent(off2);
  manage_->ReSetDevice();
  EXPECT_EQ(EnableFailed().Size(), 0u);
  EXPECT_TRUE(Running(kOff1));
  EXPECT_TRUE(Running(kOff2));
}

// The agent is already being uninstalled when the module starts: the
// uninstall enables what the last run's file lists although the device
// thread has not read it, and deletes the file only when all went well.
// Each enable is journaled, and the journal, full, is cut as the diagnostic
// log is: its newest whole lines kept, no ".temp" left beside it. An entry is
// an instance ID, never a pattern: "*" or "USB\*" must not enable devices
// someone else disabled.
TEST_F(PolicyEngine, UninstallAtStartEnablesWhatTheFileListsBeforeItWasLoaded) {
  policytest::WriteInstallFile(kForbidFile, std::string(R"([{"deviceName_10":"*"},{"deviceName_10":"USB\\*"},)") +
                                                R"({"deviceName_10":"USB\\VID_1111&PID_2222\\OFF1"},)" +
                                                R"({"deviceName_10":"USB\\VID_5555&PID_7777\\OFFNO"}])");
  std::string filler;
  for (int i = 0; filler.size() < (20u << 20); ++i)
    filler += "filler " + std::to_string(i) + std::string(90, '.') + "\n";
  filler.resize(20u << 20);
  filler.back() = '\n';
  policytest::WriteInstallFile(kJournal, filler);
  manage_->SetUninstall(1);
  EXPECT_NE(manage_->EnableDeviceBeforeUninstall(), 0u);
  EXPECT_TRUE(Running(kOff1));
  EXPECT_FALSE(Running(kOff2));
  std::string journal = policytest::ReadInstallFile(kJournal);
  EXPECT_EQ(policytest::ReadInstallFile(std::string(kJournal) + ".temp"), "");
  EXPECT_LE(journal.size(), 19922944u + 2048u);
  EXPECT_GT(journal.size(), 19922944u - 30000u);
  EXPECT_EQ(journal.compare(0, 7, "filler "), 0);
  EXPECT_EQ(JournalAction(journal, "OFF1\""), "\"action\":\"enabled\",\"result\":\"0x0\"");
  EXPECT_EQ(JournalAction(journal, "OFFNO\""), "\"action\":\"enable-failed\",\"result\":\"0x0\"");
  // The refusing installer leaves its device disabled: it stays in the file,
  // with an ERROR line and the uninstall-failure tip.
  EXPECT_FALSE(Running(kOffRefuser));
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), R"([{"deviceName_10":"USB\\VID_5555&PID_7777\\OFFNO"}])");
  EXPECT_NE(policytest::ReadDiagLog().find("USB\\VID_5555&PID_7777\\OFFNO could not be enabled before the uninstall"),
            std::string::npos);
  EXPECT_NE(policytest::LastLine("notify/notifications.jsonl").find("could not"), std::string::npos);

  // A pass stuck in the policy library holds the pass lock: the uninstall
  // waits for it 5 s at most, then goes on.
  winsim::SetInstallerBehaviour(kOffRefuser, winsim::InstallerBehaviour::Normal);
  std::promise<void> held;
  std::thread stuck([&] {
    device_manage::Pass pass(*manage_);
    held.set_value();
    std::this_thread::sleep_for(std::chrono::seconds(7));
  });
  held.get_future().wait();
  EXPECT_EQ(manage_->EnableDeviceBeforeUninstall(), 0u);
  stuck.join();
  EXPECT_NE(policytest::ReadDiagLog().find("a policy pass does not end"), std::string::npos);
  EXPECT_TRUE(Running(kOffRefuser));
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), "");
  EXPECT_EQ(JournalAction(policytest::ReadInstallFile(kJournal), "OFFNO\""),
            "\"action\":\"enabled\",\"result\":\"0x0\"");
}

// An absent device has no state: its configuration tells whether the
// uninstall's enable took. Enabled, it comes back running and the file goes;
// refused, it stays disabled and listed. A pass that was waiting for the
// uninstall does nothing afterwards.
TEST_F(PolicyEngine, UninstallJudgesAnAbsentDeviceByItsConfigurationAndNoLaterPassUndoesIt) {
  FirstPass();
  ASSERT_FALSE(Running(kStick));
  ASSERT_TRUE(winsim::UnplugDevice(kStick));
  winsim::SetInstallerBehaviour(kStick, winsim::InstallerBehaviour::Refuse);
  manage_->SetUninstall(1);
  EXPECT_NE(manage_->EnableDeviceBeforeUninstall(), 0u);
  EXPECT_NE(policytest::ReadInstallFile(kForbidFile).find("4C53"), std::string::npos);
  EXPECT_NE(policytest::ReadDiagLog().find("is not on the machine and could not be enabled"), std::string::npos);
  EXPECT_EQ(JournalAction(policytest::ReadInstallFile(kJournal), "4C53\""),
            "\"action\":\"kept-listed\",\"result\":\"0x0\"");

  winsim::SetInstallerBehaviour(kStick, winsim::InstallerBehaviour::Normal);
  EXPECT_EQ(manage_->EnableDeviceBeforeUninstall(), 0u);
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), "");
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(5000));
  EXPECT_TRUE(Running(kStick));

  winsim::ClearDeviceJournal();
  Pass();
  EXPECT_TRUE(Disabled().empty());
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), "");
}

// A class installer that refuses an enable makes the engine answer success;
// the device's state tells, and the device stays the module's: listed,
// tipped as a failure, retried, and in the file across a restart.
TEST_F(PolicyEngine, RefusedEnableIsAFailureAndStaysInTheFile) {
  FirstPass();
  ASSERT_FALSE(Running(kStick));
  winsim::SetInstallerBehaviour(kStick, winsim::InstallerBehaviour::Refuse);
  std::string allow = enginetest::kPolicy;
  allow.replace(allow.find("\"forbid\""), 8, "\"allow\"");
  policytest::WritePolicy(allow);
  Pass();
  EXPECT_FALSE(Running(kStick));
  EXPECT_EQ(Paths(EnableFailed()), std::vector<std::string>{kStick});
  EXPECT_NE(policytest::LastLine("notify/notifications.jsonl").find("could not be enabled"), std::string::npos);
  EXPECT_NE(policytest::ReadInstallFile(kForbidFile).find("4C53"), std::string::npos);

  // The refuser was never disabled (it refused that too): allowed and
  // running, it is no longer the module's. The policy forbids the stick again
  // while it is still off: a reset neither enables it nor loses it.
  EXPECT_EQ(Forbidden().Size(), 0u);
  policytest::WritePolicy(enginetest::kPolicy);
  winsim::SetInstallerBehaviour(kStick, winsim::InstallerBehaviour::Normal);
  manage_->ReSetDevice();
  EXPECT_FALSE(Running(kStick));
  EXPECT_EQ(Paths(Forbidden()), std::vector<std::string>{kStick});
  EXPECT_EQ(EnableFailed().Size(), 0u);
}

// A device the module disabled keeps its entry while it is absent, and is
// still the module's when it comes back.
TEST_F(PolicyEngine, AbsentDeviceKeepsItsEntryUntilItIsGoneForGood) {
  FirstPass();
  ASSERT_TRUE(winsim::UnplugDevice(kStick));
  policytest::WritePolicy(R"({"sysParams": {"0x20060001": []}})");
  Pass();
  EXPECT_NE(policytest::ReadInstallFile(kForbidFile).find("4C53"), std::string::npos);
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  Pass();
  EXPECT_TRUE(Running(kStick)) << "allowed now, and enabled by the module that disabled it";
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile).find("4C53"), std::string::npos);

  // An entry whose device the machine no longer knows at all is dropped.
  Forbidden().AppendIfAbsent(FileEntry("USB\\VID_9999&PID_9999\\GONE"));
  manage_->ControlDeviceByStrategy();
  EXPECT_EQ(Forbidden().Size(), 0u);
}

// The file is replaced whole: a write that fails at any step leaves the old
// file as it was and no temporary beside it; an unchanged list writes nothing.
TEST(ForbidDeviceFile, RewriteIsWholeOrNothing) {
  policytest::Install();
  device_filecontrol file;
  std::vector<stDevice> one = {FileEntry("A")};
  std::vector<stDevice> two = {FileEntry("A"), FileEntry("B")};
  ASSERT_TRUE(file.WriteForbidDeviceInfoToFile(&one));
  for (const char* call : {"CreateFileA", "WriteFile", "FlushFileBuffers", "MoveFileExA"}) {
    winsim::FailCall(call, 112 /* ERROR_DISK_FULL */);
    EXPECT_FALSE(file.WriteForbidDeviceInfoToFile(&two)) << call;
    EXPECT_EQ(policytest::ReadInstallFile("config/ForbidDeviceInfo.dat"), R"([{"deviceName_10":"A"}])") << call;
    EXPECT_EQ(policytest::ReadInstallFile("config/ForbidDeviceInfo.dat.tmp"), "") << call;
    winsim::ClearFailures();
  }
  winsim::FailCall("CreateFileA", 112);
  EXPECT_TRUE(file.WriteForbidDeviceInfoToFile(&one)) << "nothing to write";
  winsim::ClearFailures();
  EXPECT_TRUE(file.WriteForbidDeviceInfoToFile(&two));
  EXPECT_EQ(policytest::ReadInstallFile("config/ForbidDeviceInfo.dat"),
            R"([{"deviceName_10":"A"},{"deviceName_10":"B"}])");
}

// The uninstall keeps what it cannot prove: an entry whose device the engine
// cannot read stays in the file, and is enabled once it can be read. A device
// enabled that then does not start (no driver beneath the disable) is no
// longer the module's: it leaves the file with a WARN line.
TEST_F(PolicyEngine, UninstallKeepsAnUnreadableEntryAndReleasesAnEnabledDeviceThatDoesNotStart) {
  ASSERT_TRUE(winsim::AddDevice(R"({"id": "USB\\VID_1111&PID_2224\\NODRV", "class": "USB", "name": "No driver",
                                    "status": "0x01806400", "problem": 28, "disabled": true})"));
  const std::string kInFile =
      R"([{"deviceName_10":"USB\\VID_1111&PID_2224\\NODRV"},{"deviceName_10":"USB\\VID_1111&PID_2222\\OFF1"}])";
  policytest::WriteInstallFile(kForbidFile, kInFile);
  winsim::FailCall("SetupDiGetClassDevsExW", ERROR_ACCESS_DENIED, -1);
  winsim::FailCall("SetupDiCreateDeviceInfoListExW", ERROR_ACCESS_DENIED, -1);
  manage_->SetUninstall(1);
  EXPECT_NE(manage_->EnableDeviceBeforeUninstall(), 0u);
  winsim::ClearFailures();
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), kInFile);
  EXPECT_FALSE(Running(kOff1));

  EXPECT_EQ(manage_->EnableDeviceBeforeUninstall(), 0u);
  EXPECT_TRUE(Running(kOff1));
  EXPECT_EQ(winsim::GetDeviceState("USB\\VID_1111&PID_2224\\NODRV").problem, 28u);
  EXPECT_NE(policytest::ReadDiagLog().find("NODRV is enabled but does not start (problem 28)"), std::string::npos);
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile), "");
}

// A policy without a device strategy allows what the module disabled: the
// listed device is enabled and leaves the file.
TEST_F(PolicyEngine, PolicyWithoutDeviceStrategyEnablesTheListedDevices) {
  policytest::WriteInstallFile(kForbidFile, R"([{"deviceName_10":"USB\\VID_1111&PID_2222\\OFF1"}])");
  policytest::WritePolicy(R"({"strategies": []})");
  EXPECT_EQ(manage_->EnableListedWithoutStrategy(), 0u);
  EXPECT_TRUE(Running(kOff1));
  EXPECT_EQ(policytest::ReadInstallFile(kForbidFile).find("OFF1"), std::string::npos);
}
