// The Windows build end to end: vaulthelper.exe loads DeviceManager.dll with
// the agent's libraries, and the tests steer it only as the agent and the
// system would (installation folder in the registry, files under config\, a
// device broadcast to the notification window, a portable-devices key) and
// judge it only by what it prints, logs and writes.
//
// They assert what Wine implements (the listing, instance and hardware IDs,
// the module's log and files) and leave out only the state changes Wine
// stubs: CM_Get_DevNode_Status reads 0 there and the class installer refuses
// DIF_PROPERTYCHANGE, so no device is ever disabled.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "agent_process.h"
#include "support/agent_install.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace {

const DWORD kStepMs = 30000;  // generous: the machine is shared with builds
const char kPortableKey[] = "SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices";
const char kUninstalling[] = "268435456";
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string AgentJson(const char* agentState) {
  return std::string("{\"sessionId\": 1, \"settings\": {\"7\": ") + agentState + ", \"46\": 0}}";
}

std::string ExamplePolicy() { return ReadFile(DM_EXAMPLE_POLICY); }

// A scratch folder (ending with "\") with the given subfolders; without a
// tag, the agent's installation folder of the registry (config\, tpmlog\).
std::string MakeInstallation(const char* tag, std::initializer_list<const char*> folders) {
  std::string dir = *tag ? dmtest::MakeTempDir(tag) + "\\" : dmtest::MakeAgentInstall("e2e-helper").windowsDir;
  for (const char* folder : folders) fs::create_directories(dir + folder);
  return dir;
}

// Everything the host prints of the plug-in record and the callbacks.
void ExpectHostConversation(std::string out) {
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // text-mode output
  for (const char* line : {"cpfInitialize = 1",
                           "record.name = DeviceManager",
                           "record.vendor = Brightmoor",
                           "record.description = Manger device in system",
                           "record.name2 = DeviceManager",
                           "record.int64 = 1",
                           "record.int32 = 1",
                           "record.flag = 1",
                           "cpfRun = 0",
                           "table.version = 1",
                           "table.slot3 = host",
                           "table.slot6_is_slot7 = yes",
                           "cpf_QueryInfo = 0",
                           "info.size = 1024",
                           "info.word2 = 196791 (0x300B7)",
                           "info.word3 = 1",
                           "info.rest_zero = yes",
                           "name.size = 26",
                           "name = DeviceManager",
                           "cpf_GetStatus = 0",
                           "status = 0",
                           "cpf_Start(0x0) = 0",
                           "cpfShutdown = 1"})
    EXPECT_NE(out.find(std::string(line) + "\n"), std::string::npos) << "missing host line: " << line;
}

// Scratch folders hold copies of every binary: kept only to look into a
// failure. A process the session started on a child's behalf may hold one of
// its files a little longer, so the removal is retried for a while.
void RemoveUnlessFailed(const std::string& dir) {
  if (::testing::Test::HasFailure()) return;
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::error_code error;
    fs::remove_all(dir, error);
    if (!error) return;
    if (attempt == 49) printf("scratch folder %s kept: %s\n", dir.c_str(), error.message().c_str());
    Sleep(100);
  }
}

}  // namespace

// One helper process through its whole life: the start-up gate, the first
// pass and its file, a device arrival, a portable-devices change, a policy
// change and the uninstall action.
TEST(WineEndToEnd, HelperProcessFollowsPolicyDevicesRegistryAndUninstall) {
  const std::string policy = ExamplePolicy();
  ASSERT_NE(policy.find("0x10030001"), std::string::npos) << "example policy not readable: " << DM_EXAMPLE_POLICY;
  // config\ and tpmlog\, with the registry's installation folder there.
  const std::string dir = MakeInstallation("", {"audit", "notify"});
  const std::string log = dir + "tpmlog\\log_device.txt";
  const std::string forbidFile = dir + "config\\ForbidDeviceInfo.dat";
  ASSERT_TRUE(WriteFile(dir + "config\\agent.json", AgentJson("0")));
  // A fresh prefix has no portable-devices key; the watch needs it at start.
  CreatedKeys keys;
  ASSERT_TRUE(keys.Create(kPortableKey));
  // A fresh prefix has devices of never-controlled classes only; a port is
  // controlled, so the verdicts below reach the device status queries.
  RootDevice port(kPortsClass, L"Ports", L"DM_E2E\\PORT", L"DM e2e port");
  ASSERT_TRUE(port.ok());

  ASSERT_NE(GetDesktopWindow(), nullptr);  // see BrokenInstallationsKeepTheModuleRunning

  ChildProcess host;
  const int kHostSeconds = 30;  // its output is complete only when it ends
  ASSERT_TRUE(
      host.Start(OwnDir() + "vaulthelper.exe", "--seconds " + std::to_string(kHostSeconds), dir, dir + "host.txt"));

  // No policy: the gate stays shut.
  ASSERT_TRUE(WaitForCount(log, "Thread_Module_Main Begin!", 1, kStepMs)) << ReadFile(log);
  // No worker starts at the gate's first looks (once a second); one that did
  // would show in the log at once.
  EXPECT_FALSE(WaitForCount(log, "Enter Thread_Device_Enum", 1, 2500)) << "workers started without a device strategy";

  // A device strategy opens it: three workers, the window, one first pass.
  ASSERT_TRUE(WriteFile(dir + "config\\policy.json", policy));
  ASSERT_TRUE(WaitForCount(log, "waishe ,ControlDeviceByStrategy : 0x0", 1, kStepMs)) << ReadFile(log);
  ASSERT_TRUE(WaitForCount(log, "RegisterDeviceNotification hNotify = ", 2, kStepMs)) << ReadFile(log);
  ASSERT_TRUE(WaitForCount(log, "Enter Thread_Reg_Change", 1, kStepMs)) << ReadFile(log);
  std::string text = ReadFile(log);
  EXPECT_EQ(Count(text, "Enter Thread_Device_Enum"), 1u);
  EXPECT_EQ(Count(text, "Enter Thread_DeviceInfo_Enum"), 1u);
  EXPECT_EQ(Count(text, "RegOpenKeyExW error"), 0u);
  EXPECT_NE(text.find(" device INFO("), std::string::npos) << "lines carry the log name and level";
  std::string saved;
  // Rewritten in place: a read may meet it truncated.
  EXPECT_TRUE(WaitUntil(
      [&] { return (saved = ReadFile(forbidFile)).size() >= 2 && saved.front() == '[' && saved.back() == ']'; },
      kStepMs))
      << saved;
  EXPECT_EQ(text.find("SetDeviceName = , SetDeviceClassGuid"), std::string::npos) << "a device without instance ID";

  // A device arrival sent to the window: the device thread lists the devices again.
  HWND window = FindWindowA("Devicemanager_Keychange", "Devicemanager_Keychange");
  ASSERT_NE(window, nullptr);
  const char* const kArrivalLines[] = {"refind Device, refresh g_vecDeviceInfo",
                                       "vecDeviceInfo = ", "waishe ,ControlDeviceByStrategy : "};
  size_t seen[3];
  for (int i = 0; i < 3; ++i) seen[i] = Count(text, kArrivalLines[i]);
  DEV_BROADCAST_DEVICEINTERFACE_W arrival = {};
  arrival.dbcc_size = sizeof(arrival);
  arrival.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  CLSIDFromString(L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}", &arrival.dbcc_classguid);
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&arrival),
                                SMTO_ABORTIFHUNG, 10000, &answer),
            0);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(WaitForCount(log, kArrivalLines[i], seen[i] + 1, kStepMs)) << kArrivalLines[i] << "\n" << ReadFile(log);

  // A new portable device key: one more evaluation without an inventory.
  text = ReadFile(log);
  size_t reloads = Count(text, "refind Device, refresh g_vecDeviceInfo");
  size_t evaluations = Count(text, "device changed, need re AnalysisStrategy!");
  {
    CreatedKeys device;
    ASSERT_TRUE(device.Create(std::string(kPortableKey) + "\\DM-e2e-" + std::to_string(GetCurrentProcessId())));
    EXPECT_TRUE(WaitForCount(log, "device changed, need re AnalysisStrategy!", evaluations + 1, kStepMs))
        << ReadFile(log);
  }
  EXPECT_EQ(Count(ReadFile(log), "refind Device, refresh g_vecDeviceInfo"), reloads);

  // Every device forbidden: what the machine reports decides what is touched.
  const std::string kNamed = "\"deviceId_10\": [\"USB-STORAGE\", \"PORTABLE\", \"BLUETOOTH\"]";
  std::string forbidAll = policy;
  ASSERT_NE(forbidAll.find(kNamed), std::string::npos);
  forbidAll.replace(forbidAll.find(kNamed), kNamed.size(), "\"deviceId_10\": \"*\"");
  ASSERT_TRUE(WriteFile(dir + "config\\policy.json", forbidAll));
  EXPECT_TRUE(WaitForCount(log, "Strategy File Changed!", 1, kStepMs));
  EXPECT_TRUE(WaitForCount(log, "bForbid = 1, bInVaulthelper = 1, dev.dwStatus_Now = ", 1, kStepMs)) << ReadFile(log);

  // The agent is being uninstalled: the devices come back and the file goes.
  ASSERT_TRUE(WriteFile(dir + "config\\agent.json", AgentJson(kUninstalling)));
  EXPECT_TRUE(WaitForCount(log, "EnableDeviceBeforeUninstall eRet : 0x", 1, kStepMs)) << ReadFile(log);
  EXPECT_TRUE(WaitForCount(log, "Exit Thread_DeviceInfo_Enum", 1, kStepMs));
  EXPECT_TRUE(WaitForCount(log, "Exit Thread_Device_Enum", 1, kStepMs));
  EXPECT_TRUE(WaitUntil([&] { return !FileExists(forbidFile); }, kStepMs));

  // The host prints its part when it ends (its output is a file, so buffered).
  ASSERT_TRUE(host.WaitExit((kHostSeconds + 30) * 1000)) << "the host did not end";
  EXPECT_EQ(host.ExitCode(), 0u);
  ExpectHostConversation(ReadFile(dir + "host.txt"));
  text = ReadFile(log);
  EXPECT_EQ(Count(text, "exception"), 0u) << text;
  // Audit records only for devices actually forbidden (or failed to be).
  EXPECT_EQ(FileExists(dir + "audit\\audit.jsonl"), Count(text, "WriteDeviceLog eRet") > 0);
  RemoveUnlessFailed(dir);
}

// Installations the module cannot fully use, each in its own helper process
// at the same time (folder derived from the host's x64 folder, no registry
// value): the process keeps running to its planned end.
TEST(WineEndToEnd, BrokenInstallationsKeepTheModuleRunning) {
  // The first window of a session may start a desktop process that inherits
  // its creator's output file and folder for its whole life: let it be this
  // program's, not a host's whose scratch folder is to be removed.
  ASSERT_NE(GetDesktopWindow(), nullptr);
  dmtest::RemoveAgentInstallValue();
  const std::string bin = OwnDir();
  const std::string policy = ExamplePolicy();
  ASSERT_FALSE(policy.empty());
  struct Case {
    const char* tag;
    bool libraries;
    bool tpmlog;
    bool config;
    std::string dir;
    ChildProcess host;
  } cases[] = {{"e2e-nolibs", false, true, true, "", {}},
               {"e2e-notpmlog", true, false, true, "", {}},
               {"e2e-noconfig", true, true, false, "", {}}};
  const int kHostSeconds = 12;
  for (Case& c : cases) {
    c.dir = MakeInstallation(c.tag, {"x64"});
    std::vector<std::string> files = {"vaulthelper.exe", "DeviceManager.dll"};
    if (c.libraries)
      for (const char* lib : {"vaultbase", "vaultfileopt", "vaultres", "vaultlog", "vaultstrategy", "vaultshell"})
        files.push_back(std::string(lib) + ".dll");
    for (const std::string& file : files) fs::copy_file(bin + file, c.dir + "x64\\" + file);
    if (c.tpmlog) fs::create_directories(c.dir + "tpmlog");
    if (c.config) {
      fs::create_directories(c.dir + "config");
      ASSERT_TRUE(WriteFile(c.dir + "config\\agent.json", AgentJson("0")));
      ASSERT_TRUE(WriteFile(c.dir + "config\\policy.json", policy));
    }
    ASSERT_TRUE(c.host.Start(c.dir + "x64\\vaulthelper.exe", "--seconds " + std::to_string(kHostSeconds), c.dir,
                             c.dir + "host.txt"));
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.tag);
    ASSERT_TRUE(c.host.WaitExit((kHostSeconds + 60) * 1000));
    EXPECT_EQ(c.host.ExitCode(), 0u);
    ExpectHostConversation(ReadFile(c.dir + "host.txt"));
  }

  // Without the libraries: no policy library, so no workers; the loader says why.
  std::string log = ReadFile(cases[0].dir + "tpmlog\\log_device.txt");
  EXPECT_EQ(Count(log, "Thread_Module_Main Begin!"), 1u) << log;
  EXPECT_NE(log.find("vaultstrategy.dll Error"), std::string::npos) << log;
  EXPECT_EQ(Count(log, "Enter Thread_Device_Enum"), 0u);
  // Without tpmlog: nothing logged, no folder made, the workers still did their pass.
  EXPECT_FALSE(DirExists(cases[1].dir + "tpmlog"));
  EXPECT_TRUE(FileExists(cases[1].dir + "config\\ForbidDeviceInfo.dat"));
  // Without config: no policy, so no workers, and no folder made.
  log = ReadFile(cases[2].dir + "tpmlog\\log_device.txt");
  EXPECT_EQ(Count(log, "Thread_Module_Main Begin!"), 1u) << log;
  EXPECT_EQ(Count(log, "Enter Thread_Device_Enum"), 0u);
  EXPECT_FALSE(DirExists(cases[2].dir + "config"));
  for (Case& c : cases) RemoveUnlessFailed(c.dir);
}

// hwctl on the machine as it is: a sane listing, a refused disable that leaves
// the device as it was, a usage answer for an unknown command.
TEST(WineEndToEnd, HwctlListsAndControlsTheMachine) {
  const std::string hwctl = OwnDir() + "hwctl.exe";
  const std::string dir = MakeInstallation("e2e-hwctl", {});
  std::string out;
  ASSERT_EQ(RunToEnd(hwctl, "find *", dir + "find.txt", kStepMs, &out), 0u) << out;
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // text-mode console output
  std::istringstream lines(out);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  ASSERT_EQ(line.rfind("INSTANCE ID", 0), 0u) << out;
  const size_t hardwareColumn = line.find("HARDWARE ID");
  const size_t descriptionColumn = line.find("DESCRIPTION");
  const size_t statusColumn = line.find("STATUS");
  std::vector<std::string> rows;
  while (std::getline(lines, line) && line.find(" device record(s); ") == std::string::npos) rows.push_back(line);
  ASSERT_FALSE(rows.empty()) << out;
  EXPECT_EQ(line, std::to_string(rows.size()) + " device record(s); result 0 (done)");
  for (const std::string& row : rows) {
    EXPECT_LT(row.find_first_not_of(' '), hardwareColumn) << "no instance ID: " << row;
    EXPECT_EQ(row.compare(statusColumn, 2, "0x"), 0) << row;
  }

  // The first device with a hardware ID, by its literal ID.
  std::string target;
  for (size_t i = 0; i < rows.size() && target.empty(); ++i) {
    std::string id = rows[i].substr(hardwareColumn, descriptionColumn - hardwareColumn);
    id.erase(id.find_last_not_of(' ') + 1);
    if (!id.empty()) target = "'" + id;
  }
  ASSERT_FALSE(target.empty()) << out;
  DWORD disabled = RunToEnd(hwctl, "disable \"" + target + "\"", dir + "disable.txt", kStepMs, &out);
  EXPECT_TRUE(disabled == 0 || disabled == 1) << out;
  EXPECT_EQ(RunToEnd(hwctl, "status \"" + target + "\"", dir + "status.txt", kStepMs, &out), 0u) << out;
  // Put the machine back whatever happened: every Wine test shares it.
  EXPECT_EQ(RunToEnd(hwctl, "enable \"" + target + "\"", dir + "enable.txt", kStepMs, &out), 0u) << out;

  EXPECT_EQ(RunToEnd(hwctl, "frobnicate *", dir + "usage.txt", kStepMs, &out), 3u) << out;
  EXPECT_NE(out.find("usage: hwctl"), std::string::npos) << out;
  RemoveUnlessFailed(dir);
}
