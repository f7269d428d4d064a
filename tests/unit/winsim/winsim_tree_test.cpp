// winsim's device tree as strict as Windows: a subtree follows its root, late
// children start after their parent, portable-device keys follow presence,
// devices in use wait for a reboot, a standard user may change nothing. On a
// virtual clock: start delays pass without wall time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winapi.h"
#include "support/test_support.h"
#include "winsim/devices_control.h"

namespace {

const char kReceiver[] = "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2";
const char kHidIf[] = "USB\\VID_046D&PID_C52B&MI_00\\6&2A3A6C0B&0&0000";
const char kKeyboard[] = "HID\\VID_046D&PID_C52B&MI_00\\7&1E5D3A2F&0&0000";
const char kMouse[] = "HID\\VID_046D&PID_C52B&MI_01&COL01\\7&2C4B1A9E&0&0000";
const char kStick[] = "USB\\VID_0781&PID_5567\\4C53";
const char kDisk[] = "USBSTOR\\DISK&VEN_SANDISK\\4C53&0";
const char kVolume[] = "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_SANDISK#4C53&0";
const char kWpd[] = "SWD\\WPDBUSENUM\\4C53";

// A root hub with a receiver (keyboard below an interface function, mouse)
// and a stick (disk, volume, portable device) that starts layer by layer.
std::string Tree(const char* extra) {
  return std::string(R"({"clock": "virtual", )") + extra + R"(
  "classes": [{"name": "WPD", "guid": "eec5ad98-8080-425f-922a-dabf3de3f69a"}],
  "devices": [
    {"id": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0", "status": "0x0180200A"},
    {"id": "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2", "status": "0x0180600A", "parent": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0"},
    {"id": "USB\\VID_046D&PID_C52B&MI_00\\6&2A3A6C0B&0&0000", "status": "0x0180200A",
     "parent": "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2", "startDelay": 50},
    {"id": "HID\\VID_046D&PID_C52B&MI_00\\7&1E5D3A2F&0&0000", "status": "0x0180200A",
     "parent": "USB\\VID_046D&PID_C52B&MI_00\\6&2A3A6C0B&0&0000", "startDelay": 20, "interfaces": ["Keyboard"]},
    {"id": "HID\\VID_046D&PID_C52B&MI_01&COL01\\7&2C4B1A9E&0&0000", "status": "0x0180200A",
     "parent": "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2", "startDelay": 30, "interfaces": ["Mouse"]},
    {"id": "USB\\VID_0781&PID_5567\\4C53", "status": "0x0180600A", "present": false,
     "parent": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0", "startDelay": 100},
    {"id": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "status": "0x0180600A", "present": false,
     "parent": "USB\\VID_0781&PID_5567\\4C53", "startDelay": 300},
    {"id": "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_SANDISK#4C53&0", "status": "0x0180000A", "present": false,
     "parent": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "startDelay": 200},
    {"id": "SWD\\WPDBUSENUM\\4C53", "class": "WPD", "name": "E:\\", "status": "0x0180200A", "present": false,
     "parent": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "startDelay": 250}]})";
}

class WinsimTree : public ::testing::Test {
 protected:
  void Load(const char* extra = "") {
    std::string error;
    ASSERT_TRUE(winsim::LoadMachineJson(Tree(extra), dmtest::MakeTempDir("tree"), &error)) << error;
    set_ = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
  }
  void TearDown() override { SetupDiDestroyDeviceInfoList(set_); }

  SP_DEVINFO_DATA Open(const char* id) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    std::u16string wid(id, id + strlen(id));
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set_, wid.c_str(), nullptr, 0, &data)) << id;
    return data;
  }
  BOOL Call(const char* id, DWORD function, DWORD state, DWORD* flags = nullptr) {
    SP_DEVINFO_DATA data = Open(id);
    SP_PROPCHANGE_PARAMS p{};
    SP_REMOVEDEVICE_PARAMS r{};
    SP_CLASSINSTALL_HEADER* header = function == DIF_REMOVE ? &r.ClassInstallHeader : &p.ClassInstallHeader;
    header->cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    header->InstallFunction = function;
    p.StateChange = state;
    p.Scope = DICS_FLAG_CONFIGSPECIFIC;
    r.Scope = DI_REMOVEDEVICE_GLOBAL;
    DWORD size = function == DIF_REMOVE ? sizeof r : sizeof p;
    if (!SetupDiSetClassInstallParamsW(set_, &data, header, size)) return FALSE;
    BOOL ok = SetupDiCallClassInstaller(function, set_, &data);
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    if (flags && SetupDiGetDeviceInstallParamsW(set_, &data, &params)) *flags = params.Flags;
    return ok;
  }
  // Listed by SetupDiGetClassDevsExW(DIGCF_PRESENT).
  bool Listed(const char* id) {
    HDEVINFO all = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr,
                                          nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    bool found = false;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(all, i, &data); ++i) {
      WCHAR buf[MAX_DEVICE_ID_LEN];
      CM_Get_Device_ID_ExW(data.DevInst, buf, MAX_DEVICE_ID_LEN, 0, nullptr);
      found = std::string(buf, buf + std::char_traits<WCHAR>::length(buf)) == id;
    }
    SetupDiDestroyDeviceInfoList(all);
    return found;
  }
  CONFIGRET Status(const char* id, ULONG* problem) {
    ULONG status = 0;
    return CM_Get_DevNode_Status(&status, problem, Open(id).DevInst, 0);
  }
  // (device, time) of each journal entry `change`.
  using Times = std::vector<std::pair<std::string, uint64_t>>;
  Times Journal(const std::string& change) {
    Times out;
    for (const auto& e : winsim::DeviceJournal())
      if (e.change == change) out.push_back({e.instanceId, e.timeMs});
    return out;
  }
  bool WpdKey() {
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices\\SWD#WPDBUSENUM#4C53",
                               0, KEY_READ, &key);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
  }

  HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

TEST_F(WinsimTree, ASubtreeFollowsItsRootAndComesBackAfterItsStartDelays) {
  Load();
  ASSERT_TRUE(Listed(kKeyboard) && Listed(kMouse));
  ASSERT_TRUE(Call(kMouse, DIF_PROPERTYCHANGE, DICS_DISABLE));
  ASSERT_TRUE(Call(kReceiver, DIF_PROPERTYCHANGE, DICS_DISABLE));
  ULONG problem = 0;
  EXPECT_EQ(CR_SUCCESS, Status(kReceiver, &problem));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), problem);
  for (const char* id : {kHidIf, kKeyboard, kMouse}) {
    EXPECT_FALSE(Listed(id)) << id;
    EXPECT_EQ(CR_NO_SUCH_DEVINST, Status(id, &problem)) << id;
  }

  // Enabled: each child starts its own delay after its parent started, the
  // mouse keeps its own (disabled) configuration.
  winsim::ClearDeviceJournal();
  uint64_t start = winsim::JournalClockMs();
  ASSERT_TRUE(Call(kReceiver, DIF_PROPERTYCHANGE, DICS_ENABLE));
  EXPECT_FALSE(Listed(kHidIf));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_EQ(Journal("arrived"), (Times{{kMouse, start + 30}, {kHidIf, start + 50}, {kKeyboard, start + 70}}));
  EXPECT_EQ(CR_SUCCESS, Status(kKeyboard, &problem));
  EXPECT_EQ(0u, problem);
  EXPECT_EQ(CR_SUCCESS, Status(kMouse, &problem));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), problem);

  // A restart: the receiver goes and comes back at once, its children later.
  ASSERT_TRUE(Call(kReceiver, DIF_PROPERTYCHANGE, DICS_PROPCHANGE));
  EXPECT_TRUE(winsim::GetDeviceState(kReceiver).started);
  EXPECT_FALSE(Listed(kKeyboard));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_TRUE(Listed(kKeyboard));
  EXPECT_EQ(4u, Journal("gone").size()) << "the receiver, its interface, keyboard and mouse went";
}

TEST_F(WinsimTree, PluggedStickStartsLayerByLayerAndItsPortableKeyFollowsPresence) {
  Load();
  winsim::ClearDeviceJournal();
  uint64_t start = winsim::JournalClockMs();
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  EXPECT_FALSE(Listed(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_EQ(Journal("arrived"),
            (Times{{kStick, start + 100}, {kDisk, start + 400}, {kVolume, start + 600}, {kWpd, start + 650}}));
  EXPECT_TRUE(WpdKey());

  // Removing the disk takes its children and the key; a rescan finds it again.
  ASSERT_TRUE(Call(kDisk, DIF_REMOVE, 0));
  EXPECT_FALSE(Listed(kVolume));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_FALSE(WpdKey());
  ASSERT_EQ(CR_SUCCESS, CM_Reenumerate_DevNode(1, 0));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_TRUE(Listed(kWpd));
  EXPECT_TRUE(WpdKey());

  ASSERT_TRUE(winsim::UnplugDevice(kStick));
  EXPECT_TRUE(winsim::ListDevices(true).size() == 5u);
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_FALSE(WpdKey());
}

TEST_F(WinsimTree, DisablingOrRemovingADeviceInUseWaitsForTheReboot) {
  Load();
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  ASSERT_TRUE(winsim::SetDeviceInUse(kVolume, true));
  DWORD flags = 0;
  ASSERT_TRUE(Call(kStick, DIF_PROPERTYCHANGE, DICS_DISABLE, &flags));  // an ancestor of the volume
  EXPECT_TRUE(flags & DI_NEEDREBOOT);
  ASSERT_TRUE(Call(kVolume, DIF_REMOVE, 0, &flags));
  EXPECT_TRUE(flags & DI_NEEDREBOOT);
  EXPECT_TRUE(Listed(kVolume));
  EXPECT_TRUE(winsim::GetDeviceState(kStick).started);

  winsim::RebootMachine();
  ULONG problem = 0;
  EXPECT_EQ(CR_SUCCESS, Status(kStick, &problem));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), problem);
  EXPECT_FALSE(Listed(kDisk));
  EXPECT_FALSE(winsim::GetDeviceState(kVolume).exists);
}

TEST_F(WinsimTree, AStandardUserChangesNoDeviceAndNoMachineKey) {
  Load(R"("elevated": false,)");
  EXPECT_FALSE(Call(kMouse, DIF_PROPERTYCHANGE, DICS_DISABLE));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(Call(kMouse, DIF_REMOVE, 0));
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(winsim::GetDeviceState(kMouse).started);

  const GUID wpd = {0xeec5ad98, 0x8080, 0x425f, {0x92, 0x2a, 0xda, 0xbf, 0x3d, 0xe3, 0xf6, 0x9a}};
  HKEY key = SetupDiOpenClassRegKeyExW(&wpd, KEY_SET_VALUE, DIOCR_INSTALLER, nullptr, nullptr);
  EXPECT_EQ(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), key);
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  key = SetupDiOpenClassRegKeyExW(&wpd, KEY_READ, DIOCR_INSTALLER, nullptr, nullptr);
  ASSERT_NE(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), key);
  RegCloseKey(key);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExW(HKEY_LOCAL_MACHINE, u"X", 0, REG_DWORD, (const BYTE*)"\1\0\0\0", 4));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Vendor", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  RegCloseKey(key);

  // The machine itself still plugs devices and writes their keys.
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_TRUE(WpdKey());
}

}  // namespace
