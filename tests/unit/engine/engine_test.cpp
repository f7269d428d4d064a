// The device control engine and its facade on a small simulated machine:
// selection forms, state changes seen through the devices' own status,
// records, the capture buffer limit, the setup commands and bad arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeviceControl_win32.h"
#include "DeviceRecordCodec.h"
#include "common/util/WString.h"
#include "support/test_support.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace {

const char kUsb[] = "USB\\VID_0781&PID_5567\\4C530001";
const char kDisk[] = "USBSTOR\\DISK&VEN_SANDISK\\4C530001&0";
const char kHid[] = "HID\\VID_046D&PID_C52B\\7&1&0";
const char kLegacy[] = "ROOT\\LEGACY_X\\0000";
const char kSample[] = "ROOT\\SAMPLE\\0000";
const char kPci[] = "PCI\\VEN_8086&DEV_1234\\3&11583659&0&10";
const char kHidden[] = "SWD\\HIDDEN\\1";

const char kMachine[] = R"({
  "classes": [
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"},
    {"name": "DiskDrive", "guid": "4d36e967-e325-11ce-bfc1-08002be10318", "upperFilters": ["partmgr"]},
    {"name": "HIDClass", "guid": "745a17a0-74d3-11d0-b6fe-00a0c90f57da"},
    {"name": "System", "guid": "4d36e97d-e325-11ce-bfc1-08002be10318"}],
  "services": ["partmgr", "svcA", "svcB"],
  "devices": [
    {"id": "USB\\VID_0781&PID_5567\\4C530001", "class": "USB", "friendlyName": "SanDisk Cruzer",
     "name": "USB Mass Storage Device", "hw": ["USB\\VID_0781&PID_5567&REV_0100", "USB\\VID_0781&PID_5567"],
     "compat": ["USB\\Class_08&SubClass_06&Prot_50", "USB\\Class_08"], "status": "0x600A"},
    {"id": "USBSTOR\\DISK&VEN_SANDISK\\4C530001&0", "class": "DiskDrive", "name": "SanDisk Cruzer USB Device",
     "hw": ["USBSTOR\\DiskSanDisk_Cruzer", "GenDisk"], "status": "0x600A"},
    {"id": "HID\\VID_046D&PID_C52B\\7&1&0", "class": "HIDClass", "name": "USB Input Device",
     "hw": ["HID\\VID_046D&PID_C52B"], "status": "0x600A", "installer": "refuse"},
    {"id": "ROOT\\LEGACY_X\\0000", "class": "System", "name": "Legacy X", "root": true, "present": false,
     "status": "0x600A"},
    {"id": "ROOT\\SAMPLE\\0000", "class": "System", "name": "Sample", "root": true, "hw": ["*SAMPLE"],
     "status": "0x600A"},
    {"id": "PCI\\VEN_8086&DEV_1234\\3&11583659&0&10", "class": "System", "name": "Intel Controller",
     "hw": ["PCI\\VEN_8086&DEV_1234"], "status": "0x0000000A"},
    {"id": "SWD\\HIDDEN\\1", "class": "System", "name": "Hidden", "hw": ["SWD\\HIDDEN"], "status": "0x4000600A"}]
})";

std::string At(const char* id) { return std::string("@") + id; }

EngineResult RunCmd(const std::vector<std::string>& words) {
  std::vector<WString> args{WIDE("C:\\tools\\hwctl.exe")};
  for (const std::string& w : words) args.push_back(AnsiToWide(w));
  std::vector<const WCHAR*> argv;
  for (const WString& a : args) argv.push_back(a.c_str());
  ClearDeviceOutput();
  return DispatchCommand(static_cast<int>(argv.size()), argv.data());
}

// Records of the capture buffer; they must account for all of its text.
std::vector<DeviceRecordText> Records() {
  std::vector<DeviceRecordText> records = ParseDeviceRecordText(DeviceOutputText(), DeviceOutputLength());
  WString again;
  for (const DeviceRecordText& record : records) AppendDeviceRecordText(record, &again);
  EXPECT_TRUE(again == WString(DeviceOutputText(), DeviceOutputLength())) << "not whole records";
  return records;
}
std::vector<std::string> Found(const std::vector<std::string>& words, EngineResult expected = ENGINE_OK) {
  EXPECT_EQ(RunCmd(words), expected) << words[0];
  std::vector<std::string> ids;
  for (const DeviceRecordText& record : Records()) ids.push_back(WideToAnsi(record.strInstanceId));
  return ids;
}

// The device's own state, not what the engine believes of it.
winsim::DeviceState State(const char* id) {
  winsim::DeviceState state = winsim::GetDeviceState(id);
  EXPECT_TRUE(state.exists) << id;
  return state;
}

// The DiskDrive class's filter value, as the class installer key holds it.
std::vector<std::string> Filters(const char* value) {
  GUID guid;
  DWORD count = 0;
  EXPECT_TRUE(SetupDiClassGuidsFromNameExW(WIDE("DiskDrive"), &guid, 1, &count, nullptr, nullptr));
  HKEY key = SetupDiOpenClassRegKeyExW(&guid, KEY_READ, DIOCR_INSTALLER, nullptr, nullptr);
  std::vector<std::string> list;
  WCHAR data[512];
  DWORD size = sizeof(data), type = 0;
  if (RegQueryValueExW(key, AnsiToWide(value).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
      ERROR_SUCCESS)
    for (const WString& name : ParseMultiString(data, size / sizeof(WCHAR))) list.push_back(WideToAnsi(name));
  RegCloseKey(key);
  return list;
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(winsim::LoadMachineJson(kMachine, dmtest::MakeTempDir("engine"), &error)) << error;
  }
  void TearDown() override { winsim::ClearFailures(); }
  device_control m_control;
};

}  // namespace

TEST_F(Engine, SelectionForms) {
  EXPECT_EQ(Found({"find", "*"}), (std::vector<std::string>{kUsb, kDisk, kHid, kSample, kPci, kHidden}));
  EXPECT_EQ(Found({"find", "=DiskDrive"}), std::vector<std::string>{kDisk});
  EXPECT_EQ(Found({"find", "=diskdrive", "*"}), std::vector<std::string>{kDisk});
  EXPECT_TRUE(Found({"find", "=Nosuchclass", "*"}).empty());
  EXPECT_TRUE(Found({"find", "="}).empty());
  EXPECT_EQ(Found({"find", At(kLegacy)}), std::vector<std::string>{kLegacy});  // not present
  EXPECT_EQ(Found({"findall", "=System"}), (std::vector<std::string>{kLegacy, kSample, kPci, kHidden}));
  EXPECT_EQ(Found({"find", "@usb\\*"}), std::vector<std::string>{kUsb});
  EXPECT_EQ(Found({"find", "usb\\vid_0781*"}), std::vector<std::string>{kUsb});
  EXPECT_EQ(Found({"find", "*PID_5567*", "gendisk"}), (std::vector<std::string>{kUsb, kDisk}));
  EXPECT_EQ(Found({"find", "*&REV_0100"}), std::vector<std::string>{kUsb});
  EXPECT_EQ(Found({"find", "USB\\Class_08"}), std::vector<std::string>{kUsb});  // compatible ID
  EXPECT_EQ(Found({"find", "'*SAMPLE"}), std::vector<std::string>{kSample});
  // "*" after another argument is a pattern: devices with at least one ID.
  EXPECT_EQ(Found({"findall", "@NOSUCH\\1", "*"}),
            (std::vector<std::string>{kUsb, kDisk, kHid, kSample, kPci, kHidden}));

  // find records: friendly name, else description; status flags on line five.
  RunCmd({"find", At(kUsb), At(kDisk)});
  std::vector<DeviceRecordText> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(WideToAnsi(records[0].strHardwareId), "USB\\VID_0781&PID_5567&REV_0100");
  EXPECT_EQ(WideToAnsi(records[0].strDescription), "SanDisk Cruzer");
  EXPECT_EQ(WideToAnsi(records[0].strClassGuid), "36fc9e60-c465-11cf-8056-444553540000");
  EXPECT_EQ(records[0].dwStatus, 0x600Au);
  EXPECT_EQ(WideToAnsi(records[1].strDescription), "SanDisk Cruzer USB Device");
  // status records carry the instance ID as description.
  RunCmd({"status", At(kUsb)});
  EXPECT_EQ(WideToAnsi(Records().at(0).strDescription), kUsb);
}

TEST_F(Engine, CallbackStopsTheWalkAndPlainInstanceIdsMakeNoSearch) {
  int calls = 0;
  auto stopAtThird = [](HDEVINFO, PSP_DEVINFO_DATA, DWORD, void* context) -> EngineResult {
    return ++*static_cast<int*>(context) == 3 ? ENGINE_FAIL : ENGINE_OK;
  };
  const WCHAR* all[] = {WIDE("*")};
  EXPECT_EQ(SelectDevices(WIDE("x"), nullptr, DIGCF_PRESENT, 1, all, stopAtThird, &calls), ENGINE_FAIL);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(SelectDevices(WIDE("x"), nullptr, DIGCF_PRESENT, 0, all, stopAtThird, &calls), ENGINE_USAGE);

  // Without property reads, an instance ID still selects its device; a
  // hardware-ID pattern then finds nothing, and that is no error.
  winsim::FailCall("SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA, -1);
  EXPECT_EQ(Found({"status", At(kUsb)}), std::vector<std::string>{kUsb});
  EXPECT_TRUE(Found({"find", "USB\\VID_0781*"}).empty());
  winsim::ClearFailures();

  winsim::FailCall("SetupDiGetClassDevsExW", ERROR_NOT_ENOUGH_MEMORY, -1);
  EXPECT_TRUE(Found({"find", "*"}, ENGINE_FAIL).empty());
}

TEST_F(Engine, StateChangesReachTheDevice) {
  stDevice usb;
  usb.SetInstancePath(kUsb);
  EXPECT_EQ(m_control.DisableDevice(usb), 0u);
  EXPECT_FALSE(State(kUsb).started);
  EXPECT_EQ(State(kUsb).problem, static_cast<ULONG>(CM_PROB_DISABLED));
  EXPECT_EQ(m_control.QueryDeviceStatus(usb), 0u);
  EXPECT_EQ(usb.dwStatus_Now, 2u);
  EXPECT_EQ(m_control.EnableDevice(usb), 0u);
  EXPECT_TRUE(State(kUsb).started);
  EXPECT_EQ(State(kUsb).problem, 0u);
  EXPECT_EQ(m_control.QueryDeviceStatus(usb), 0u);
  EXPECT_EQ(usb.dwStatus_Now, 1u);
  EXPECT_EQ(RunCmd({"restart", "=USB"}), ENGINE_OK);
  EXPECT_TRUE(State(kUsb).started);

  // A refusing class installer leaves the device running; still success.
  EXPECT_EQ(RunCmd({"disable", At(kHid)}), ENGINE_OK);
  EXPECT_TRUE(State(kHid).started);
  // Nothing selected: success. A machine name is refused before anything is touched.
  EXPECT_EQ(RunCmd({"disable", "NOSUCH\\ID"}), ENGINE_OK);
  EXPECT_EQ(RunCmd({"-m:\\\\OTHER", "disable", "*"}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"disable"}), ENGINE_USAGE);
  EXPECT_TRUE(State(kUsb).started && State(kDisk).started);

  // One of two devices asks for a restart of Windows.
  ASSERT_TRUE(winsim::SetInstallerBehaviour(kDisk, winsim::InstallerBehaviour::Restart));
  EXPECT_EQ(RunCmd({"disable", At(kUsb), At(kDisk)}), ENGINE_REBOOT);
  EXPECT_FALSE(State(kUsb).started);
  EXPECT_EQ(RunCmd({"enable", At(kUsb), At(kDisk)}), ENGINE_REBOOT);
  EXPECT_TRUE(State(kUsb).started);
  // -r restarts Windows when the command needs it.
  size_t before = winsim::ExitWindowsCalls().size();
  EXPECT_EQ(RunCmd({"-r", "enable", At(kDisk)}), ENGINE_REBOOT);
  ASSERT_EQ(winsim::ExitWindowsCalls().size(), before + 1);
  EXPECT_EQ(winsim::ExitWindowsCalls().back().flags, static_cast<UINT>(EWX_REBOOT));
  EXPECT_EQ(winsim::ExitWindowsCalls().back().reason, 0x80010002u);
  EXPECT_EQ(RunCmd({"reboot", "extra", "args"}), ENGINE_OK);
  EXPECT_EQ(winsim::ExitWindowsCalls().size(), before + 2);
}

TEST_F(Engine, FacadeRecordsAndStatus) {
  std::vector<stDevice> list(1);
  EXPECT_EQ(m_control.FindDevices(&list), 0u);
  ASSERT_EQ(list.size(), 7u);  // behind the record already there
  EXPECT_EQ(list[1].strInstancePath, kUsb);
  EXPECT_EQ(list[1].strDeviceID, "USB\\VID_0781&PID_5567&REV_0100*");
  EXPECT_EQ(list[1].dwStatus_Now, 1u);

  // Neither disableable nor removable, hidden: state 0; not found: left as it was.
  stDevice device;
  for (auto [path, want] :
       {std::make_pair(kPci, 0u), std::make_pair(kHidden, 0u), std::make_pair("USB\\GONE\\1", 7u)}) {
    device.SetInstancePath(path);
    device.SetStatus_Now(7);
    EXPECT_EQ(m_control.QueryDeviceStatus(device), 0u) << path;
    EXPECT_EQ(device.dwStatus_Now, want) << path;
  }

  device.SetInstancePath(kUsb);
  EXPECT_EQ(m_control.SetUpDevice("Enable", device), 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(m_control.SetUpDevice("Disable", device), 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_TRUE(State(kUsb).started);

  // An unreadable instance ID still leaves a record, with "?" first.
  winsim::FailCall("CM_Get_Device_ID_ExW", CR_FAILURE, -1);
  EXPECT_EQ(RunCmd({"status", At(kUsb)}), ENGINE_OK);
  ASSERT_EQ(Records().size(), 1u);
  EXPECT_EQ(WideToAnsi(Records()[0].strInstanceId), "?");
  winsim::ClearFailures();

  // A device cycled by the USB restart ends disabled; nothing else is cycled.
  stDevice disk;
  disk.SetInstancePath(kDisk);
  std::vector<stDevice> none;
  EXPECT_EQ(m_control.RebootUsbDevice(disk, &none), 0u);
  EXPECT_FALSE(State(kDisk).started);
  EXPECT_TRUE(State(kUsb).started);
}

TEST_F(Engine, CaptureBufferGrowsWithTheDevices) {
  // 1,200 records of 700-unit names: past the 1.6 MB the buffer once had.
  std::string json = R"({"classes":[{"name":"USB","guid":"36fc9e60-c465-11cf-8056-444553540000"}],"devices":[)";
  const std::string name(700, 'n');
  for (int i = 0; i < 1200; ++i)
    json += std::string(i ? "," : "") + R"({"id":"USB\\VID_1234&PID_0001\\)" + std::to_string(i) +
            R"(","class":"USB","hw":["USB\\VID_1234&PID_0001"],"name":")" + name + R"(","status":"0x600A"})";
  json += "]}";
  std::string error;
  ASSERT_TRUE(winsim::LoadMachineJson(json, dmtest::MakeTempDir("engine-full"), &error)) << error;

  std::vector<stDevice> list;
  EXPECT_EQ(m_control.FindDevices(&list), 0u);
  ASSERT_EQ(list.size(), 1200u);
  EXPECT_EQ(list.back().strDeviceName, name);
  EXPECT_EQ(list.back().strInstancePath, "USB\\VID_1234&PID_0001\\1199");

  // A clear forgets the text: the next command reports only its own device.
  RunCmd({"status", "@USB\\VID_1234&PID_0001\\7"});
  ASSERT_EQ(Records().size(), 1u);
  EXPECT_EQ(WideToAnsi(Records()[0].strInstanceId), "USB\\VID_1234&PID_0001\\7");
}

TEST_F(Engine, SetupCommandsEditClassFiltersAndHardwareIds) {
  EXPECT_EQ(RunCmd({"classfilter", "DiskDrive", "upper"}), ENGINE_OK);
  for (const char* bad : {"middle", ""}) EXPECT_EQ(RunCmd({"classfilter", "DiskDrive", bad}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"classfilter", "NoSuchClass", "upper"}), ENGINE_FAIL);
  EXPECT_EQ(RunCmd({"classfilter", "DiskDrive", "UPPER", "@PARTMGR", "-svcB", "+svcA"}), ENGINE_REBOOT);
  EXPECT_EQ(Filters("UpperFilters"), (std::vector<std::string>{"svcB", "svcA", "partmgr"}));
  // Refusals and unchanged lists leave the value as it was.
  EXPECT_EQ(RunCmd({"classfilter", "DiskDrive", "upper", "!svcB", "+nosuchsvc"}), ENGINE_FAIL);
  EXPECT_EQ(RunCmd({"classfilter", "DiskDrive", "upper", "@svcB"}), ENGINE_OK);
  EXPECT_EQ(Filters("UpperFilters"), (std::vector<std::string>{"svcB", "svcA", "partmgr"}));
  // An emptied list deletes the value.
  EXPECT_EQ(RunCmd({"classfilter", "DiskDrive", "upper", "!svcB", "!svcA", "!partmgr"}), ENGINE_REBOOT);
  EXPECT_TRUE(Filters("UpperFilters").empty());
  EXPECT_EQ(RunCmd({"classfilter", "DiskDrive", "lower", "+svcB"}), ENGINE_REBOOT);
  EXPECT_EQ(Filters("LowerFilters"), std::vector<std::string>{"svcB"});

  auto ids = [](const char* id) {
    RunCmd({"hwids", At(id)});
    return WideToAnsi(Records().at(0).strHardwareId);
  };
  const std::string sample = At(kSample);
  EXPECT_EQ(RunCmd({"sethwid", sample, ":=", "=A", "B"}), ENGINE_OK);
  EXPECT_EQ(RunCmd({"sethwid", sample, ":=", "+C", "!a"}), ENGINE_OK);
  EXPECT_EQ(ids(kSample), "C");
  EXPECT_TRUE(Found({"find", "A"}).empty());
  EXPECT_EQ(Found({"find", "B"}), std::vector<std::string>{kSample});
  // Not root-enumerated: untouched.
  EXPECT_EQ(RunCmd({"sethwid", At(kUsb), ":=", "=X"}), ENGINE_OK);
  EXPECT_EQ(ids(kUsb), "USB\\VID_0781&PID_5567&REV_0100");
  EXPECT_EQ(RunCmd({"sethwid", sample, "=A"}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"sethwid", ":=", "=A"}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"sethwid", sample, ":="}), ENGINE_USAGE);
  EXPECT_EQ(ids(kSample), "C");
}

TEST_F(Engine, BadArgumentsAndOtherCommands) {
  EXPECT_EQ(DispatchCommand(0, nullptr), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"-r"}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"frobnicate", "*"}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"-m:", "find", "*"}), ENGINE_USAGE);  // "-m:" alone is no option
  EXPECT_EQ(Found({"/FiNd", "=DiskDrive"}), std::vector<std::string>{kDisk});
  for (const std::string& arg : {std::string(""), std::string("@"), std::string("'"), std::string("@'"),
                                 std::string(10000, 'x'), "@" + std::string(10000, 'x')})
    EXPECT_TRUE(Found({"find", arg}).empty()) << arg.size();
  EXPECT_EQ(Found({"find", "*?*?*?*?*?*?*?*?x"}).size(), 0u);
  std::vector<stDevice> list;
  EXPECT_EQ(m_control.DeviceControl("find", std::string(10000, '*'), &list), 0u);
  EXPECT_EQ(list.size(), 6u);

  EXPECT_TRUE(Found({"listclass", "NoSuchClass"}).empty());
  EXPECT_EQ(Found({"listclass", "", "DiskDrive"}), std::vector<std::string>{kDisk});
  EXPECT_EQ(Found({"stack", At(kUsb)}), std::vector<std::string>{kUsb});
  for (const char* command : {"update", "updateni", "install"})
    EXPECT_EQ(RunCmd({command, "no\\such\\driver.inf", "USB\\VID_1"}), ENGINE_FAIL) << command;
  EXPECT_EQ(RunCmd({"install", "driver.inf"}), ENGINE_USAGE);
  EXPECT_EQ(RunCmd({"remove"}), ENGINE_USAGE);
}
