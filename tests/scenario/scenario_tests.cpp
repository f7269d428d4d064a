// The whole module through its exports, with the real agent libraries, on the
// laptop: what a user plugging a stick, an administrator editing the policy,
// a refusing class installer, a restart of the agent and an uninstall lead to.
// Each test starts the module, so each runs in a process of its own.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "support/agent_sandbox.h"
#include "platform/winapi.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

using scenario::AgentSandbox;
using scenario::Count;
using scenario::ModuleChanges;
using scenario::WaitFor;

namespace {

const char kStick[] = "USB\\VID_0781&PID_5567\\4C530001230101108154";
const char kDisk[] = "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230101108154&0";
const char kDiskInFile[] =
    R"({"deviceName_10":"USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230101108154&0"})";
const std::string kDiskFile = std::string("[") + kDiskInFile + "]";  // the file listing the disk alone
const char kBluetooth[] = "USB\\VID_8087&PID_0026\\5&1C2B3A4D&0&10";
const char kSerial[] = "USB\\VID_1A86&PID_7523\\5&1C2B3A4D&0&3";
const char kRootHub[] = "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0";
const char kBluetoothInFile[] = R"([{"deviceName_10":"USB\\VID_8087&PID_0026\\5&1C2B3A4D&0&10"}])";
const char kOutage[] = "policy library unavailable (0x";
const char kForbidFile[] = "config/ForbidDeviceInfo.dat";
const char kAudit[] = "audit/audit.jsonl";
const char kTips[] = "notify/notifications.jsonl";
const char kJournal[] = "tpmlog/decisions_device.jsonl";
const char kPassDone[] = "waishe ,ControlDeviceByStrategy : 0x";
const char kModuleWindow[] = "Devicemanager_Keychange";  // its class and title

// USB disks and Bluetooth radios have strategy device IDs; the strategy
// forbids the IDs in `forbidden` (a JSON array) with audit and tip; every
// other device falls to a strategy that allows it.
std::string Policy(const std::string& forbidden, const std::string& method = "forbid") {
  return R"({"strategies": [
      {"id": 1001, "type": "0x10030001", "sessions": "*", "conditions": {"deviceId_10": )" +
         forbidden + R"(},
       "action": {"processMethod_10": ")" +
         method + R"(", "logType_10": "auditLog", "needTip_10": "true"}},
      {"id": 1002, "type": "0x10030001", "sessions": "*",
       "action": {"processMethod_10": "allow", "logType_10": "auditLog", "needTip_10": "true"}}],
    "sysParams": {"0x20060001": [
      {"deviceName_10": "USB storage", "deviceType_10": "4d36e967-e325-11ce-bfc1-08002be10318",
       "deviceInstance_10": "USBSTOR\\*", "deviceId_10": "USB-STORAGE"},
      {"deviceName_10": "Bluetooth", "deviceType_10": "e0cbf06c-cd8b-4647-bb8a-263b43f0f974",
       "deviceInstance_10": "*", "deviceId_10": "BLUETOOTH"}]}})";
}

bool Running(const char* id) { return winsim::GetDeviceState(id).started; }
// Present but disabled (the disk of a stick appears 400 ms after the plug).
bool Disabled(const char* id) {
  winsim::DeviceState s = winsim::GetDeviceState(id);
  return s.present && s.problem == CM_PROB_DISABLED;
}

class Scenario : public ::testing::Test {
 protected:
  explicit Scenario(bool realClock = false) : agent_("", "", realClock) {}

  // Starts the module on the laptop and waits for its first pass (callers
  // wrap it in ASSERT_NO_FATAL_FAILURE).
  void Start(const std::string& policy, bool helperProcess) {
    agent_.RunAs(helperProcess);
    agent_.WritePolicy(policy);
    std::string why;
    ASSERT_TRUE(agent_.StartModule(&why)) << why;
    ASSERT_TRUE(WaitFor([&] { return Passes() >= 1; })) << agent_.DeviceLog();
    // Arrivals reach the module through its window, made after the device
    // thread starts: a plug before it exists would go unheard.
    ASSERT_TRUE(winsim::WaitForWindow(kModuleWindow, kModuleWindow, 15000));
  }
  // Starts the module on a machine whose radio was disabled by the module's
  // last run (the file lists it), without waiting for any pass.
  void StartWithListedRadio(const std::string& policy) {
    ASSERT_TRUE(winsim::SetDeviceDisabled(kBluetooth, true));
    winsim::ClearDeviceJournal();
    agent_.Write(kForbidFile, kBluetoothInFile);
    agent_.RunAs(true);
    if (!policy.empty()) agent_.WritePolicy(policy);
    std::string why;
    ASSERT_TRUE(agent_.StartModule(&why)) << why;
  }
  // The same with an allowing policy while the policy library cannot be asked
  // (its names do not resolve), until `looks` looks have said so in an ERROR
  // line each: that is no answer, so the radio stays disabled and listed.
  void StartWithListedRadioInAnOutage(size_t looks) {
    ASSERT_NO_FATAL_FAILURE(StartWithListedRadio(Policy(R"(["NOTHING"])")));
    winsim::FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND, -1);
    ASSERT_TRUE(WaitFor([&] { return Count(agent_.DeviceLog(), kOutage) >= looks; })) << agent_.DeviceLog();
    EXPECT_TRUE(Disabled(kBluetooth));
    EXPECT_EQ(agent_.Read(kForbidFile), kBluetoothInFile);
    EXPECT_TRUE(ModuleChanges(kBluetooth).empty());
  }
  size_t Passes() const { return Count(agent_.DeviceLog(), kPassDone); }
  // Uninstalls the agent and waits for the uninstall's enables to have succeeded.
  void Uninstall() {
    agent_.SetAgentState(scenario::kAgentUninstalling);
    ASSERT_TRUE(WaitFor([&] { return Count(agent_.DeviceLog(), "EnableDeviceBeforeUninstall eRet : 0x0") > 0; }))
        << agent_.DeviceLog();
  }
  bool Unlisted() const { return agent_.Read(kForbidFile) == "[]" || !agent_.Exists(kForbidFile); }
  // Waits for a pass that starts after the current end of the log.
  bool NextPass() const {
    size_t from = agent_.DeviceLog().size();
    return WaitFor([&] { return Count(agent_.DeviceLog(), kPassDone, from) >= 1; });
  }

  // Waits until the device journal and the agent's files have not changed
  // for longer than the slowest worker's pause.
  void Settle() const {
    std::string last;
    ULONGLONG quietSince = GetTickCount64();
    WaitFor([&] {
      std::string now = std::to_string(winsim::DeviceJournal().size()) + agent_.Read(kForbidFile) +
                        agent_.Read(kAudit) + agent_.Read(kTips);
      if (now != last) {
        last = now;
        quietSince = GetTickCount64();
      }
      return GetTickCount64() - quietSince > 2500;
    });
  }

  AgentSandbox agent_;
};

// The same on the host's clock, as the demo and the real agent run: the
// module's real pauses and threads, no virtual time.
class RealClockScenario : public Scenario {
 protected:
  RealClockScenario() : Scenario(true) {}
};

}  // namespace

TEST_F(Scenario, PluggedStickIsForbiddenOnceAndEnabledWhenThePolicyRelaxes) {
  ASSERT_NO_FATAL_FAILURE(Start(Policy(R"(["USB-STORAGE"])"), true));
  EXPECT_NE(agent_.DeviceLog().find("vecDeviceInfo = 49\n"), std::string::npos) << "49 devices are present at start";
  // Every pass rewrites the file in place: a read may meet it truncated.
  EXPECT_TRUE(WaitFor([&] { return agent_.Read(kForbidFile) == "[]"; })) << agent_.Read(kForbidFile);

  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(WaitFor([] { return Disabled(kDisk); })) << agent_.DeviceLog();
  EXPECT_TRUE(Running(kStick)) << "only the disk is forbidden";
  ASSERT_TRUE(WaitFor([&] { return agent_.Read(kForbidFile) == kDiskFile; })) << agent_.Read(kForbidFile);
  // The pass that found the disk counted the stick and its disk, and the
  // volume and portable device when they had started by then.
  EXPECT_TRUE(std::regex_search(agent_.DeviceLog(), std::regex("vecDeviceInfo = 5[123]\n")))
      << "the stick brings up to 4 devices";

  // One audit record, member for member; only its id and time vary.
  ASSERT_TRUE(WaitFor([&] { return !agent_.Lines(kAudit).empty(); }));
  std::vector<std::string> audit = agent_.Lines(kAudit);
  ASSERT_EQ(audit.size(), 1u);
  std::string fixed = std::regex_replace(audit[0], std::regex(R"("logId":"[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")"),
                                         "\"logId\":ID");
  fixed = std::regex_replace(fixed, std::regex(R"("logTime":1[0-9]{12},)"), "\"logTime\":MS,");
  EXPECT_EQ(fixed,
            R"({"logVersion":4,"logId":ID,"logTime":MS,"userSid":"S-1-5-21-1004336348-1177238915-682003330-1001",)"
            R"("moduleType":327680,"logType":327936,"operateType":327937,"actionType":0,)"
            R"("cltGuid":"6F9619FF-8B86-D011-B42D-00C04FC964FF","cltIp":"192.168.10.23;10.20.30.41",)"
            R"("policyId":1001,"policyGroupId":268632065,"osUserName":"jdoe","serverIp":"10.20.30.40",)"
            R"("result":0,"resultInfo":"","businessInfo":[{"businessType":6,"deviceInfo":{)"
            R"("deviceId":"USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230101108154&0",)"
            R"("deviceName":"SanDisk Cruzer Blade USB Device","deviceType":"Disk drives"}}]})");

  // One tip, and neither more tips nor another disable after the module has
  // looked again (the stick's arrival also woke the other thread).
  Settle();
  std::vector<std::string> tips = agent_.Lines(kTips);
  ASSERT_EQ(tips.size(), 1u);
  EXPECT_NE(tips[0].find("SanDisk Cruzer Blade USB Device\\\" has been disabled"), std::string::npos) << tips[0];
  EXPECT_EQ(ModuleChanges(kDisk), std::vector<std::string>{"disabled"});

  // The administrator allows USB storage again: enabled, tipped, forgotten.
  agent_.WritePolicy(Policy(R"(["USB-STORAGE"])", "allow"));
  ASSERT_TRUE(WaitFor([] { return Running(kDisk); })) << agent_.DeviceLog();
  ASSERT_TRUE(WaitFor([&] { return agent_.Read(kForbidFile) == "[]"; }));
  ASSERT_TRUE(WaitFor([&] { return agent_.Lines(kTips).size() == 2; }));
  EXPECT_NE(agent_.Lines(kTips)[1].find("has been enabled again"), std::string::npos);
  EXPECT_EQ(agent_.Lines(kAudit).size(), 1u) << "an enable is not audited";
  EXPECT_EQ(ModuleChanges(kDisk), (std::vector<std::string>{"disabled", "enabled"}));

  // The journal explains both outcomes once each, with what gave the verdict.
  std::vector<std::string> diskLines;
  for (const std::string& line : agent_.Lines(kJournal))
    if (line.find(R"("instanceId":"USBSTOR\\DISK&VEN_SANDISK)") != std::string::npos) diskLines.push_back(line);
  ASSERT_EQ(diskLines.size(), 2u) << agent_.Read(kJournal);
  EXPECT_NE(diskLines[0].find(
                R"("verdict":"forbid","strategy":"1001","deviceIds":["USB-STORAGE"],)"
                R"("definitions":["USB storage"],"exclusion":"","guard":"","action":"disabled","result":"0x0"})"),
            std::string::npos)
      << diskLines[0];
  EXPECT_NE(diskLines[1].find(R"("verdict":"allow","strategy":"1001")"), std::string::npos) << diskLines[1];
  EXPECT_NE(diskLines[1].find(R"("action":"enabled")"), std::string::npos) << diskLines[1];
}

// An enable that asks for a restart of Windows has not happened: the module
// counts it as failed. (A class installer that refuses outright does not
// make the engine fail, so the module could not tell.)
TEST_F(Scenario, FailedEnableIsTippedOnceAndRetriedAtALaterArrival) {
  ASSERT_NO_FATAL_FAILURE(Start(Policy(R"(["USB-STORAGE"])"), true));
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(WaitFor([] { return Disabled(kDisk); }));
  Settle();  // both workers have seen the arrival: no reset retries what follows

  ASSERT_TRUE(winsim::SetInstallerBehaviour(kDisk, winsim::InstallerBehaviour::Restart));
  agent_.WritePolicy(Policy(R"(["USB-STORAGE"])", "allow"));
  ASSERT_TRUE(WaitFor([&] { return agent_.Lines(kTips).size() == 2; })) << agent_.DeviceLog();
  EXPECT_NE(agent_.Lines(kTips)[1].find("could not be enabled again"), std::string::npos) << agent_.Lines(kTips)[1];
  // Still disabled, so still the module's: the file keeps it across restarts.
  Settle();
  EXPECT_EQ(agent_.Read(kForbidFile), kDiskFile);
  EXPECT_FALSE(Running(kDisk));

  // Another pass (an unrelated policy edit) neither retries nor tips again:
  // the device is no longer the module's to enable there.
  agent_.WritePolicy(Policy(R"(["USB-STORAGE", "NOTHING"])", "allow"));
  ASSERT_TRUE(NextPass());
  Settle();
  EXPECT_EQ(agent_.Lines(kTips).size(), 2u);
  EXPECT_EQ(ModuleChanges(kDisk),
            (std::vector<std::string>{"disabled", "enabled, waits for restart", "enabled, waits for restart"}));

  // The installer behaves again; the next arrival of any device retries the
  // enable, once.
  ASSERT_TRUE(winsim::SetInstallerBehaviour(kDisk, winsim::InstallerBehaviour::Normal));
  ASSERT_TRUE(winsim::PlugDevice(kSerial));
  ASSERT_TRUE(WaitFor([] { return Running(kDisk); })) << agent_.DeviceLog();
  Settle();
  EXPECT_EQ(ModuleChanges(kDisk).size(), 4u);
  EXPECT_EQ(ModuleChanges(kDisk).back(), "enabled");
  EXPECT_TRUE(WaitFor([&] { return agent_.Read(kForbidFile) == "[]"; })) << agent_.Read(kForbidFile);
  EXPECT_EQ(agent_.Lines(kTips).size(), 2u) << "a retried enable shows no tip";
}

TEST_F(RealClockScenario, UninstallEnablesEveryForbiddenDeviceAndDeletesTheFile) {
  // Its Bluetooth network runs: that guards nothing, the radio goes.
  ASSERT_NO_FATAL_FAILURE(Start(Policy(R"(["USB-STORAGE", "BLUETOOTH"])"), true));
  ASSERT_TRUE(WaitFor([] { return !Running(kBluetooth); })) << "running at start, forbidden by the first pass";
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(WaitFor([] { return Disabled(kDisk); }));
  ASSERT_TRUE(WaitFor([&] { return Count(agent_.Read(kForbidFile), "deviceName_10") == 2; }))
      << agent_.Read(kForbidFile);

  ASSERT_NO_FATAL_FAILURE(Uninstall());
  EXPECT_TRUE(Running(kBluetooth));
  EXPECT_TRUE(Running(kDisk));
  EXPECT_FALSE(agent_.Exists(kForbidFile));
  ASSERT_TRUE(WaitFor([&] { return agent_.DeviceLog().find("Exit Thread_Device_Enum") != std::string::npos; }));

  // Nothing forbids anything any more, even when a device arrives. Once the
  // arrival reached the module's window and every thread it could wake waits
  // again (a pass it woke would have run), nothing was disabled.
  agent_.WritePolicy(Policy(R"(["USB-STORAGE", "BLUETOOTH", "X"])"));
  ASSERT_TRUE(winsim::PlugDevice(kSerial));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  ASSERT_TRUE(winsim::WaitForQuietMachine());
  EXPECT_TRUE(Running(kDisk));
  EXPECT_TRUE(Running(kBluetooth));
  EXPECT_TRUE(Running(kSerial));
  EXPECT_FALSE(agent_.Exists(kForbidFile));
}

// A restart of the agent (a new process) outside the helper process: the file
// of the last run lists the disk, which runs again, and the root hub.
TEST_F(Scenario, RestartWithAnOldFileDisablesTheListedDiskButNeverTheRootHub) {
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(5000));
  ASSERT_TRUE(Running(kDisk));
  agent_.Write(kForbidFile,
               std::string(R"([{"deviceName_10":"USB\\ROOT_HUB30\\4&2B6C9A1E&0&0"},)") + kDiskInFile + "]");
  winsim::ClearDeviceJournal();

  ASSERT_NO_FATAL_FAILURE(Start(Policy(R"(["USB-STORAGE"])"), false));
  EXPECT_NE(agent_.DeviceLog().find("m_vecForbidDeviceInfo = 2\n"), std::string::npos);
  ASSERT_TRUE(WaitFor([] { return Disabled(kDisk); })) << agent_.DeviceLog();
  ASSERT_TRUE(WaitFor([&] { return agent_.Read(kForbidFile) == kDiskFile; })) << agent_.Read(kForbidFile);
  Settle();

  EXPECT_TRUE(Running(kRootHub));
  EXPECT_TRUE(ModuleChanges(kRootHub).empty());
  EXPECT_EQ(ModuleChanges(kDisk), std::vector<std::string>{"disabled"});
  // Outside the helper process: still disabled, but no audit and no tip.
  EXPECT_TRUE(agent_.Lines(kAudit).empty());
  EXPECT_TRUE(agent_.Lines(kTips).empty());
}

// The slow stick's disk starts 1.5 s after its USB device, long after the pass
// that the USB device's arrival caused; a disk without interfaces below it
// starts 6 s after, long after the look-again chain of the plug ended, and
// only the tree's change broadcast tells. Each is disabled within about a
// second of its own start.
TEST_F(Scenario, LateDiskWithoutInterfacesIsDisabledSoonAfterItsStart) {
  const char kSlowStick[] = "USB\\VID_090C&PID_1000\\0374722050003386";
  const char kSlowDisk[] = "USBSTOR\\DISK&VEN_SAMSUNG&PROD_FLASH_DRIVE&REV_1100\\0374722050003386&0";
  const char kLateDisk[] = "USBSTOR\\DISK&VEN_SANDISK&PROD_LATE\\0374722050003386&1";
  std::string error;
  ASSERT_TRUE(winsim::AddDevice(R"({"id": "USBSTOR\\DISK&VEN_SANDISK&PROD_LATE\\0374722050003386&1",
      "class": "DiskDrive", "name": "SanDisk Late USB Device", "status": "0x0180600A", "present": false,
      "startDelay": 6000, "parent": "USB\\VID_090C&PID_1000\\0374722050003386"})",
                                &error))
      << error;
  ASSERT_NO_FATAL_FAILURE(Start(Policy(R"(["USB-STORAGE"])"), true));
  ASSERT_TRUE(winsim::PlugDevice(kSlowStick));
  ASSERT_TRUE(WaitFor([&] { return Disabled(kSlowDisk) && Disabled(kLateDisk); })) << agent_.DeviceLog();
  EXPECT_TRUE(Running(kSlowStick));
  for (const char* disk : {kSlowDisk, kLateDisk}) {
    uint64_t arrived = 0, disabled = 0;
    for (const auto& e : winsim::DeviceJournal()) {
      if (e.instanceId != disk) continue;
      if (e.change == "arrived" && arrived == 0) arrived = e.timeMs;
      if (e.change == "disabled") disabled = e.timeMs;
    }
    EXPECT_LE(disabled - arrived, 1000u) << disk << "\n" << agent_.DeviceLog();
    EXPECT_EQ(ModuleChanges(disk), std::vector<std::string>{"disabled"}) << disk;
  }
}

// Twenty arrivals in a few seconds, then the module's own enables (which
// Windows broadcasts like any other arrival): passes stay bounded, and once
// the machine is still, no pass follows (no feedback loop). A forbidden radio
// found off at every pass is tipped once; each newly disabled disk once.
TEST_F(Scenario, ArrivalBurstAndOwnEnablesCauseBoundedPassesAndOneTipPerDevice) {
  const char* const kSticks[] = {kStick, "USB\\VID_090C&PID_1000\\0374722050003386"};
  ASSERT_TRUE(winsim::SetDeviceDisabled(kBluetooth, true));  // off before the module starts
  ASSERT_NO_FATAL_FAILURE(Start(Policy(R"(["USB-STORAGE", "BLUETOOTH"])"), true));
  size_t before = Passes();
  for (int round = 0; round < 10; ++round) {
    for (const char* stick : kSticks) ASSERT_TRUE(winsim::PlugDevice(stick));
    Sleep(300);
    for (const char* stick : kSticks) ASSERT_TRUE(winsim::UnplugDevice(stick));
    Sleep(300);
  }
  for (const char* stick : kSticks) ASSERT_TRUE(winsim::PlugDevice(stick));
  ASSERT_TRUE(WaitFor([] { return Disabled(kDisk); })) << agent_.DeviceLog();
  Settle();
  size_t burst = Passes() - before;
  EXPECT_GE(burst, 2u);
  // Each arrival's nodes come and start (broadcast as node changes), and the
  // module's own disables broadcast too: a few passes per arrival, no loop.
  EXPECT_LE(burst, 66u) << "22 arrivals, at most three passes each";
  // One tip for the radio, found off at every pass, one per disk disabled.
  std::vector<std::string> tips = agent_.Lines(kTips);
  EXPECT_EQ(Count(agent_.Read(kTips), "Wireless Bluetooth"), 1u) << agent_.Read(kTips);
  EXPECT_EQ(tips.size(), 3u) << agent_.Read(kTips);
  EXPECT_NE(agent_.DeviceLog().find("forbid tip of " + std::string(kBluetooth) + " held back"), std::string::npos);

  // Allowed again: the module's enables bring the disks and their volumes
  // back, each broadcast at its own start. Each pass after the policy's own
  // answers to those arrivals, never to itself.
  before = Passes();
  winsim::ClearDeviceJournal();
  agent_.WritePolicy(Policy(R"(["NOTHING"])"));
  ASSERT_TRUE(WaitFor([] { return Running(kDisk); })) << agent_.DeviceLog();
  Settle();
  size_t relaxed = Passes() - before;
  std::set<uint64_t> arrivals;
  for (const winsim::DeviceJournalEntry& e : winsim::DeviceJournal())
    if (e.change.rfind("arrival broadcast", 0) == 0) arrivals.insert(e.timeMs);
  EXPECT_GE(arrivals.size(), 2u);
  // A device seen by a second look just before its broadcast lands costs a
  // second pass: two at most per arrival moment.
  EXPECT_LE(relaxed, 1 + 2 * arrivals.size()) << "the policy change, then the moments devices came back";
  Sleep(30000);
  EXPECT_EQ(Passes() - before, relaxed) << "a still machine causes no pass";
  EXPECT_TRUE(Running(kBluetooth) == false) << "someone else's disable stays";
}

// No device strategy targets the session at start, whether the policy holds
// none or its file is gone (the store then holds an empty policy: the restart
// of the fault): the gate stays shut (no pass), yet the listed radio is
// allowed, enabled and leaves the file; the uninstall then deletes the file.
class NoStrategyAtStart : public Scenario, public ::testing::WithParamInterface<bool> {};  // the policy file is kept

TEST_P(NoStrategyAtStart, EnablesTheListedRadioAndTheUninstallDeletesTheFile) {
  ASSERT_NO_FATAL_FAILURE(StartWithListedRadio(GetParam() ? R"({"strategies": []})" : ""));
  ASSERT_TRUE(WaitFor([] { return Running(kBluetooth); }, std::chrono::seconds(5))) << agent_.DeviceLog();
  ASSERT_TRUE(WaitFor([&] { return Unlisted(); }, std::chrono::seconds(5))) << agent_.Read(kForbidFile);
  EXPECT_EQ(Passes(), 0u);
  EXPECT_EQ(ModuleChanges(kBluetooth), std::vector<std::string>{"enabled"});

  ASSERT_NO_FATAL_FAILURE(Uninstall());
  EXPECT_FALSE(agent_.Exists(kForbidFile));
  EXPECT_TRUE(Running(kBluetooth));
}

INSTANTIATE_TEST_SUITE_P(Policy, NoStrategyAtStart, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithoutDeviceStrategy" : "FileGone"; });

// The policy library cannot be asked from the start: the uninstall still
// enables the radio and deletes the file.
TEST_F(Scenario, PolicyLibraryOutageEnablesNothingButTheUninstallStillRuns) {
  ASSERT_NO_FATAL_FAILURE(StartWithListedRadioInAnOutage(3));
  agent_.SetAgentState(scenario::kAgentUninstalling);
  ASSERT_TRUE(WaitFor([] { return Running(kBluetooth); })) << agent_.DeviceLog();
  ASSERT_TRUE(WaitFor([&] { return !agent_.Exists(kForbidFile); })) << agent_.DeviceLog();
  winsim::ClearFailures();
}

// Away for a while, then back: while away an allowing policy enables
// nothing and every look says so; back, it is asked again and its answer
// enables the radio.
TEST_F(Scenario, PolicyLibraryOutageKeepsTheRadioDisabledUntilTheLibraryAnswers) {
  ASSERT_NO_FATAL_FAILURE(StartWithListedRadioInAnOutage(5));
  winsim::ClearFailures();
  ASSERT_TRUE(WaitFor([] { return Running(kBluetooth); })) << agent_.DeviceLog();
  ASSERT_TRUE(WaitFor([&] { return Unlisted(); })) << agent_.Read(kForbidFile);
}
