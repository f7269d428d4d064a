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
const char kWpdKey[] = "SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices\\SWD#WPDBUSENUM#4C53";

std::string Tree(const char* extra) {
  return std::string(R"({"clock": "virtual", )") + extra + R"(
  "classes": [
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"},
    {"name": "HIDClass", "guid": "745a17a0-74d3-11d0-b6fe-00a0c90f57da"},
    {"name": "Keyboard", "guid": "4d36e96b-e325-11ce-bfc1-08002be10318"},
    {"name": "Mouse", "guid": "4d36e96f-e325-11ce-bfc1-08002be10318"},
    {"name": "DiskDrive", "guid": "4d36e967-e325-11ce-bfc1-08002be10318"},
    {"name": "Volume", "guid": "71a27cdd-812a-11d0-bec7-08002be2092f"},
    {"name": "WPD", "guid": "eec5ad98-8080-425f-922a-dabf3de3f69a"}],
  "devices": [
    {"id": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0", "class": "USB", "status": "0x0180200A", "interfaces": ["USB hub"]},
    {"id": "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2", "class": "USB", "status": "0x0180600A",
     "parent": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0", "interfaces": ["USB device"]},
    {"id": "USB\\VID_046D&PID_C52B&MI_00\\6&2A3A6C0B&0&0000", "class": "HIDClass", "status": "0x0180200A",
     "parent": "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2", "startDelay": 50},
    {"id": "HID\\VID_046D&PID_C52B&MI_00\\7&1E5D3A2F&0&0000", "class": "Keyboard", "status": "0x0180200A",
     "parent": "USB\\VID_046D&PID_C52B&MI_00\\6&2A3A6C0B&0&0000", "startDelay": 20, "interfaces": ["Keyboard"]},
    {"id": "HID\\VID_046D&PID_C52B&MI_01&COL01\\7&2C4B1A9E&0&0000", "class": "Mouse", "status": "0x0180200A",
     "parent": "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2", "startDelay": 30, "interfaces": ["Mouse"]},
    {"id": "USB\\VID_0781&PID_5567\\4C53", "class": "USB", "status": "0x0180600A", "present": false,
     "parent": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0", "startDelay": 100, "interfaces": ["USB device"]},
    {"id": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "class": "DiskDrive", "status": "0x0180600A", "present": false,
     "parent": "USB\\VID_0781&PID_5567\\4C53", "startDelay": 300, "interfaces": ["Disk"]},
    {"id": "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_SANDISK#4C53&0", "class": "Volume", "status": "0x0180000A",
     "present": false, "parent": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "startDelay": 200, "interfaces": ["Volume"]},
    {"id": "SWD\\WPDBUSENUM\\4C53", "class": "WPD", "name": "E:\\", "status": "0x0180200A", "present": false,
     "parent": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "startDelay": 250, "interfaces": ["Portable device"]}]})";
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
  // Instance IDs SetupDiGetClassDevsExW(DIGCF_PRESENT) lists.
  std::vector<std::string> Present() {
    std::vector<std::string> ids;
    HDEVINFO all = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr,
                                          nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &data); ++i) {
      WCHAR buf[MAX_DEVICE_ID_LEN];
      CM_Get_Device_ID_ExW(data.DevInst, buf, MAX_DEVICE_ID_LEN, 0, nullptr);
      ids.push_back(std::string(buf, buf + std::char_traits<WCHAR>::length(buf)));
    }
    SetupDiDestroyDeviceInfoList(all);
    return ids;
  }
  bool Listed(const char* id) {
    for (const auto& p : Present())
      if (p == id) return true;
    return false;
  }
  CONFIGRET Status(const char* id, ULONG* problem) {
    ULONG status = 0;
    return CM_Get_DevNode_Status(&status, problem, Open(id).DevInst, 0);
  }
  // Journal times of `change` by device, in journal order.
  std::vector<std::pair<std::string, uint64_t>> Journal(const std::string& change) {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (const auto& e : winsim::DeviceJournal())
      if (e.change == change) out.push_back({e.instanceId, e.timeMs});
    return out;
  }
  bool WpdKey() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::u16string(kWpdKey, kWpdKey + strlen(kWpdKey)).c_str(), 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
      return false;
    RegCloseKey(key);
    return true;
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
  auto arrived = Journal("arrived");
  ASSERT_EQ(3u, arrived.size());
  EXPECT_EQ(kMouse, arrived[0].first);
  EXPECT_EQ(kHidIf, arrived[1].first);
  EXPECT_EQ(kKeyboard, arrived[2].first);
  EXPECT_EQ(start + 30, arrived[0].second);
  EXPECT_EQ(start + 50, arrived[1].second);
  EXPECT_EQ(start + 70, arrived[2].second);
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
  auto arrived = Journal("arrived");
  ASSERT_EQ(4u, arrived.size());
  EXPECT_EQ(start + 100, arrived[0].second);  // the stick
  EXPECT_EQ(start + 400, arrived[1].second);  // the disk
  EXPECT_EQ(kVolume, arrived[2].first);
  EXPECT_EQ(start + 600, arrived[2].second);
  EXPECT_EQ(start + 650, arrived[3].second);  // the portable device
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

  const GUID usb = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
  HKEY key = SetupDiOpenClassRegKeyExW(&usb, KEY_SET_VALUE, DIOCR_INSTALLER, nullptr, nullptr);
  EXPECT_EQ(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), key);
  EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
  key = SetupDiOpenClassRegKeyExW(&usb, KEY_READ, DIOCR_INSTALLER, nullptr, nullptr);
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
