// winsim's device tree as strict as Windows: enumeration, property buffers,
// class installers, broadcasts to registered windows; on a virtual clock, a
// subtree following its root, late starts, portable-device keys following
// presence, devices in use waiting for a reboot, a standard user changing nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "winapi.h"
#include "win32_expect.h"
#include "support/test_support.h"
#include "winsim/devices_control.h"

namespace {

const GUID kDiskClass = {0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char kStick[] = "USB\\VID_0781&PID_5567\\4C53";
const char kDisk[] = "USBSTOR\\DISK&VEN_SANDISK\\4C53&0";
const char kWpd[] = "SWD\\WPDBUSENUM\\4C53";
const char kCpu[] = "ACPI\\GENUINEINTEL\\_0";
const char kCam[] = "USB\\VID_04F2&PID_B6DD\\CAM";

const char kMachine[] = R"({
  "classes": [
    {"name": "DiskDrive", "guid": "4d36e967-e325-11ce-bfc1-08002be10318"},
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"},
    {"name": "Image", "guid": "6bdd1fc6-810f-11d0-bec7-08002be2092f"},
    {"name": "Processor", "guid": "50127dc3-0f36-415e-a6cc-4cb3be910b65"},
    {"name": "WPD", "guid": "eec5ad98-8080-425f-922a-dabf3de3f69a"},
    {"name": "Net", "guid": "4d36e972-e325-11ce-bfc1-08002be10318", "noInstallClass": true}],
  "devices": [
    {"id": "USB\\VID_0781&PID_5567\\4C53", "class": "USB", "status": "0x0180600A", "present": false,
     "interfaces": ["USB device"]},
    {"id": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "class": "DiskDrive", "status": "0x0180600A", "present": false,
     "parent": "USB\\VID_0781&PID_5567\\4C53", "interfaces": ["Disk"]},
    {"id": "ACPI\\GENUINEINTEL\\_0", "class": "Processor", "status": "0x0180000A"},
    {"id": "USB\\VID_04F2&PID_B6DD\\CAM", "hw": ["USB\\VID_04F2&PID_B6DD"], "class": "Image",
     "friendlyName": "Integrated Camera", "status": "0x0180600A"},
    {"id": "SCSI\\DISK&VEN_NVME\\0", "class": "DiskDrive", "status": "0x0180000A"}]})";

const char kReceiver[] = "USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2";
const char kHidIf[] = "USB\\VID_046D&PID_C52B&MI_00\\6&2A3A6C0B&0&0000";
const char kKeyboard[] = "HID\\VID_046D&PID_C52B&MI_00\\7&1E5D3A2F&0&0000";
const char kMouse[] = "HID\\VID_046D&PID_C52B&MI_01&COL01\\7&2C4B1A9E&0&0000";
const char kVolume[] = "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_SANDISK#4C53&0";

// A root hub with a receiver (keyboard below an interface function, mouse),
// a stick (disk, volume, portable device) that starts layer by layer, and a
// second receiver the machine has never seen.
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
     "parent": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "startDelay": 250},
    {"id": "USB\\VID_046D&PID_C534\\5&1C2B3A4D&0&9", "status": "0x0180600A", "known": false,
     "parent": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0", "compat": ["USB\\COMPOSITE"]},
    {"id": "USB\\VID_046D&PID_C534&MI_00\\6&9&0&0000", "status": "0x0180200A", "startDelay": 40,
     "parent": "USB\\VID_046D&PID_C534\\5&1C2B3A4D&0&9"},
    {"id": "HID\\VID_046D&PID_C534&MI_00\\7&9&0&0000", "status": "0x0180200A", "startDelay": 20,
     "parent": "USB\\VID_046D&PID_C534&MI_00\\6&9&0&0000", "interfaces": ["Keyboard"]}]})";
}

// What the windows of the broadcast tests received.
DEV_BROADCAST_DEVICEINTERFACE_W g_usbDevice = {
    sizeof(DEV_BROADCAST_DEVICEINTERFACE_W),
    DBT_DEVTYP_DEVICEINTERFACE,
    0,
    {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}},
    {0}};

std::atomic<HWND> g_classWindow{nullptr};
std::mutex g_lock;
std::vector<std::string> g_seen;  // "<window>:<arrival|removal>:<instance ID part of the interface path>"
std::vector<DWORD> g_seenThreads;

LRESULT CALLBACK DeviceProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DEVICECHANGE && lParam) {
    std::string name;
    for (const WCHAR* c = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam)->dbcc_name; *c; ++c)
      name += static_cast<char>(*c);
    std::lock_guard<std::mutex> lock(g_lock);
    g_seen.push_back(std::string(hwnd == g_classWindow ? "class" : "all") +
                     (wParam == DBT_DEVICEARRIVAL ? ":arrival:" : ":removal:") + name.substr(4, name.rfind('#') - 4));
    g_seenThreads.push_back(GetCurrentThreadId());
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

std::vector<std::string> TakeSeen() {
  std::lock_guard<std::mutex> lock(g_lock);
  return std::exchange(g_seen, {});
}

void RegisterProc(const WCHAR* name, WNDPROC proc) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = name;
  ASSERT_NE(RegisterClassW(&wc), 0);
}

HWND Window(const char* cls) { return CreateWindowExA(0, cls, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr); }

class DeviceTree : public ::testing::Test {
 protected:
  void Load(const std::string& json) {
    TearDown();
    set_ = INVALID_HANDLE_VALUE;
    std::string error;
    ASSERT_TRUE(winsim::LoadMachineJson(json, dmtest::MakeTempDir("devices"), &error)) << error;
    set_ = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }

  // Opens one device (present or not) into the fixture's set.
  SP_DEVINFO_DATA Open(const char* id) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    std::u16string wid(id, id + strlen(id));
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set_, wid.c_str(), nullptr, 0, &data)) << id;
    return data;
  }
  // Runs the class installer: DIF_PROPERTYCHANGE to `state`, or DIF_REMOVE;
  // `flags` gets the device's install flags afterwards.
  BOOL Call(const char* id, DWORD function, DWORD state, DWORD* flags = nullptr,
            DWORD scope = DICS_FLAG_CONFIGSPECIFIC) {
    SP_DEVINFO_DATA data = Open(id);
    const SP_CLASSINSTALL_HEADER head{sizeof(SP_CLASSINSTALL_HEADER), function};
    SP_PROPCHANGE_PARAMS p{head, state, scope, 0};
    SP_REMOVEDEVICE_PARAMS r{head, DI_REMOVEDEVICE_GLOBAL, 0};
    SP_CLASSINSTALL_HEADER* header = function == DIF_REMOVE ? &r.ClassInstallHeader : &p.ClassInstallHeader;
    DWORD size = function == DIF_REMOVE ? sizeof r : sizeof p;
    if (!SetupDiSetClassInstallParamsW(set_, &data, header, size)) return FALSE;
    BOOL ok = SetupDiCallClassInstaller(function, set_, &data);
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    if (flags) *flags = SetupDiGetDeviceInstallParamsW(set_, &data, &params) ? params.Flags : 0;
    return ok;
  }
  CONFIGRET Status(const char* id, ULONG* problem, ULONG* status = nullptr) {
    ULONG ignored = 0;
    return CM_Get_DevNode_Status(status ? status : &ignored, problem, Open(id).DevInst, 0);
  }
  ULONG Problem(const char* id) {
    ULONG problem = ~0u;
    EXPECT_EQ(CR_SUCCESS, Status(id, &problem)) << id;
    return problem;
  }
  // The instance IDs of the devices SetupDiGetClassDevsExW lists.
  std::vector<std::string> Devs(DWORD flags, const GUID* guid = nullptr, const WCHAR* enumerator = nullptr) {
    HDEVINFO set = SetupDiGetClassDevsExW(guid, enumerator, nullptr, flags, nullptr, nullptr, nullptr);
    std::vector<std::string> ids;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      WCHAR buf[MAX_DEVICE_ID_LEN];
      EXPECT_EQ(CR_SUCCESS, CM_Get_Device_ID_ExW(data.DevInst, buf, MAX_DEVICE_ID_LEN, 0, nullptr));
      ids.push_back(std::string(buf, buf + std::char_traits<WCHAR>::length(buf)));
    }
    EXPECT_LAST_ERROR(ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
    return ids;
  }
  // Listed among the present devices, or (`flags` DIGCF_ALLCLASSES) known at all.
  bool Listed(const std::string& id, DWORD flags = DIGCF_ALLCLASSES | DIGCF_PRESENT) {
    std::vector<std::string> ids = Devs(flags);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }
  // (device, time) of each journal entry `change`.
  using Times = std::vector<std::pair<std::string, uint64_t>>;
  Times Journal(const std::string& change) {
    Times out;
    for (const auto& e : winsim::DeviceJournal())
      if (e.change == change) out.push_back({e.instanceId, e.timeMs});
    return out;
  }
  // The key the stick's portable device has under Windows Portable Devices while present.
  bool WpdKey() {
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                               u"SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices\\SWD#WPDBUSENUM#4C53", 0,
                               KEY_READ, &key);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
  }

  HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

class WinsimDevices : public DeviceTree {
 protected:
  void SetUp() override { Load(kMachine); }
};

class User32Broadcast : public WinsimDevices {};
class WinsimTree : public DeviceTree {
 protected:
  void SetUp() override { Load(Tree("")); }
};

TEST_F(WinsimDevices, EnumeratesByPresenceClassEnumeratorAndInterfaceAndLooksUpClasses) {
  EXPECT_EQ(3u, Devs(DIGCF_ALLCLASSES | DIGCF_PRESENT).size());
  EXPECT_EQ(5u, Devs(DIGCF_ALLCLASSES).size());
  EXPECT_EQ(std::vector<std::string>{"SCSI\\DISK&VEN_NVME\\0"}, Devs(DIGCF_PRESENT, &kDiskClass));
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  const GUID diskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
  EXPECT_EQ(std::vector<std::string>{kDisk}, Devs(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT, &diskInterface));
  EXPECT_EQ((std::vector<std::string>{kStick, kCam}), Devs(DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr, u"usb"));

  GUID guids[1];
  DWORD required = 99;
  ASSERT_TRUE(SetupDiClassGuidsFromNameExW(u"diskdrive", guids, 1, &required, nullptr, nullptr));
  EXPECT_EQ(1u, required);
  EXPECT_EQ(kDiskClass.Data1, guids[0].Data1);
  EXPECT_FAILS(SetupDiClassGuidsFromNameExW(u"USB", guids, 0, &required, nullptr, nullptr), FALSE,
               ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(1u, required);
  GUID list[8];
  ASSERT_TRUE(SetupDiBuildClassInfoListExW(DIBCI_NOINSTALLCLASS, list, 8, &required, nullptr, nullptr));
  EXPECT_EQ(5u, required);
}

TEST_F(WinsimDevices, PropertyBuffersFollowSetupApiRules) {
  SP_DEVINFO_DATA cam = Open("usb\\vid_04f2&pid_b6dd\\cam");  // instance IDs ignore case
  DWORD type = 0, required = 0;
  BYTE small[4];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_HARDWAREID, &type, small, sizeof small, &required));
  EXPECT_LAST_ERROR(ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(DWORD(REG_MULTI_SZ), type);
  EXPECT_EQ((std::char_traits<char16_t>::length(u"USB\\VID_04F2&PID_B6DD") + 2) * 2, required);
  std::vector<BYTE> buf(required);
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_HARDWAREID, &type, buf.data(), required, nullptr));
  EXPECT_EQ(std::u16string(u"USB\\VID_04F2&PID_B6DD"), reinterpret_cast<WCHAR*>(buf.data()));

  // A property the device lacks, and one deleted by writing no data.
  WCHAR text[64];
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set_, &cam, SPDRP_FRIENDLYNAME, nullptr, 0));
  for (DWORD property : {SPDRP_COMPATIBLEIDS, SPDRP_FRIENDLYNAME})
    EXPECT_FAILS(SetupDiGetDeviceRegistryPropertyW(set_, &cam, property, &type, (PBYTE)text, sizeof text, nullptr),
                 FALSE, ERROR_INVALID_DATA);
}

TEST_F(WinsimDevices, ClassInstallerRestartsRefusesAndDefersToTheReboot) {
  ULONG status = 0, problem = 0;
  ASSERT_TRUE(Call(kCam, DIF_PROPERTYCHANGE, DICS_DISABLE));
  ASSERT_TRUE(Call(kCam, DIF_PROPERTYCHANGE, DICS_PROPCHANGE));
  ASSERT_EQ(CR_SUCCESS, Status(kCam, &problem, &status));
  EXPECT_EQ(ULONG(DN_HAS_PROBLEM), status & (DN_STARTED | DN_HAS_PROBLEM));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), problem);
  // A global enable does not undo a disable in the current profile.
  ASSERT_TRUE(Call(kCam, DIF_PROPERTYCHANGE, DICS_ENABLE, nullptr, DICS_FLAG_GLOBAL));
  EXPECT_TRUE(winsim::GetDeviceState(kCam).disabled);
  ASSERT_TRUE(Call(kCam, DIF_PROPERTYCHANGE, DICS_ENABLE));
  ASSERT_EQ(CR_SUCCESS, Status(kCam, &problem, &status));
  EXPECT_EQ(ULONG(0x0180600A), status);
  EXPECT_EQ(0u, problem);

  // No DN_DISABLEABLE: the installer refuses and the device keeps running.
  EXPECT_FAILS(Call(kCpu, DIF_PROPERTYCHANGE, DICS_DISABLE), FALSE, ERROR_NOT_DISABLEABLE);
  EXPECT_TRUE(winsim::GetDeviceState(kCpu).started);

  // The installer behaviour set for the device beats its class's; a restart
  // it asks for applies the change at the reboot.
  ASSERT_TRUE(winsim::SetInstallerBehaviour("Image", winsim::InstallerBehaviour::Refuse));
  EXPECT_FALSE(Call(kCam, DIF_PROPERTYCHANGE, DICS_DISABLE));
  EXPECT_FALSE(winsim::GetDeviceState(kCam).disabled);

  ASSERT_TRUE(winsim::SetInstallerBehaviour(kCam, winsim::InstallerBehaviour::Restart));
  DWORD flags = 0;
  ASSERT_TRUE(Call(kCam, DIF_PROPERTYCHANGE, DICS_DISABLE, &flags));
  EXPECT_TRUE(flags & DI_NEEDRESTART);
  winsim::DeviceState cam = winsim::GetDeviceState(kCam);
  EXPECT_TRUE(cam.started && cam.pendingReboot);
  winsim::RebootMachine();
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), winsim::GetDeviceState(kCam).problem);
  EXPECT_FALSE(winsim::GetDeviceState(kCam).pendingReboot);
}

// An absent device has no node but keeps its configuration: plugged, it comes
// back disabled.
TEST_F(WinsimDevices, NotPresentDeviceKeepsItsConfigurationUntilPlugged) {
  ULONG problem = 0;
  EXPECT_EQ(CR_NO_SUCH_DEVINST, Status(kDisk, &problem));
  ASSERT_TRUE(Call(kDisk, DIF_PROPERTYCHANGE, DICS_DISABLE));
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), Problem(kDisk));
  EXPECT_TRUE(winsim::GetDeviceState(kStick).started);
  ASSERT_TRUE(winsim::UnplugDevice(kStick));
  EXPECT_EQ(CR_NO_SUCH_DEVINST, Status(kDisk, &problem));
  EXPECT_FALSE(winsim::PlugDevice("USB\\NO\\SUCH"));
  EXPECT_FAILS(SetupDiOpenDeviceInfoW(set_, u"USB\\NO\\SUCH", nullptr, 0, nullptr), FALSE, ERROR_NO_SUCH_DEVINST);
}

TEST_F(WinsimDevices, InstallsARootDeviceAndUpdatesItsDriver) {
  ASSERT_TRUE(dmtest::WriteTextFile(winsim::HostPath("C:\\toaster.inf"),
                                    "; sample\n[Version]\nSignature=\"$WINDOWS NT$\"\nClass=%Cls%\n"
                                    "ClassGuid={6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\n[Strings]\nCls=\"Image\"\n"));
  GUID guid{};
  WCHAR cls[MAX_CLASS_NAME_LEN];
  ASSERT_TRUE(SetupDiGetINFClassW(u"C:\\toaster.inf", &guid, cls, MAX_CLASS_NAME_LEN, nullptr));
  EXPECT_EQ(std::u16string(u"Image"), cls);

  HDEVINFO set = SetupDiCreateDeviceInfoList(&guid, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, cls, &guid, nullptr, nullptr, DICD_GENERATE_ID, &data));
  const WCHAR hwid[] = u"Root\\Toaster\0";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, (const BYTE*)hwid, sizeof hwid));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_EQ(ULONG(CM_PROB_FAILED_INSTALL), winsim::GetDeviceState("ROOT\\IMAGE\\0000").problem);

  typedef BOOL (*UpdateFn)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
  auto update = reinterpret_cast<UpdateFn>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("newdev.dll"), "UpdateDriverForPlugAndPlayDevicesW")));
  ASSERT_NE(nullptr, update);
  BOOL reboot = TRUE;
  ASSERT_TRUE(update(nullptr, u"root\\toaster", u"C:\\toaster.inf", INSTALLFLAG_FORCE, &reboot));
  EXPECT_FALSE(reboot);
  EXPECT_TRUE(winsim::GetDeviceState("ROOT\\IMAGE\\0000").started);
  winsim::SetInstallerBehaviour("Image", winsim::InstallerBehaviour::Restart);
  ASSERT_TRUE(update(nullptr, u"Root\\Toaster", u"C:\\toaster.inf", INSTALLFLAG_FORCE, &reboot));
  EXPECT_TRUE(reboot);
  EXPECT_FAILS(update(nullptr, u"Root\\Nothing", u"C:\\toaster.inf", INSTALLFLAG_FORCE, &reboot), FALSE,
               ERROR_NO_SUCH_DEVINST);
}

// Restarting Windows needs the shutdown privilege enabled first.
TEST_F(WinsimDevices, RestartNeedsTheShutdownPrivilege) {
  EXPECT_FAILS(ExitWindowsEx(EWX_REBOOT, 0x80010002), FALSE, ERROR_PRIVILEGE_NOT_HELD);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0x80010002));
}

// Device arrivals and removals reach the windows registered for one of the
// device's interface classes (or for all of them), inside the owner's
// PeekMessageW, sent from winsim's system thread after the call that changed
// the device returned.
TEST_F(User32Broadcast, EveryChangeReachesItsRegisteredWindowsAfterTheCallReturns) {
  RegisterProc(WIDE("DmBroadcastTest"), DeviceProc);
  // One window for the USB device class, one for every class. Their thread
  // pumps only once `go` is set.
  std::atomic<bool> ready{false}, go{false}, stop{false};
  std::atomic<DWORD> owner{0};
  std::thread pump([&] {
    owner = GetCurrentThreadId();
    for (DWORD flags : {DWORD(DEVICE_NOTIFY_WINDOW_HANDLE), DWORD(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)}) {
      HWND hwnd = Window("DmBroadcastTest");
      if (!g_classWindow) g_classWindow = hwnd;
      EXPECT_NE(RegisterDeviceNotificationW(hwnd, &g_usbDevice, flags), nullptr);
    }
    ready = true;
    while (!go) Sleep(1);
    for (MSG msg; !stop; Sleep(20)) PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
  });
  while (!ready) Sleep(1);

  // The plug returns while the windows' thread does not pump; the stick's USB
  // device interface reaches both windows, its disk's only the one for all.
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  EXPECT_TRUE(TakeSeen().empty());
  go = true;
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"class:arrival:USB#VID_0781&PID_5567#4C53",
                                                  "all:arrival:USB#VID_0781&PID_5567#4C53",
                                                  "all:arrival:USBSTOR#DISK&VEN_SANDISK#4C53&0"}));
  EXPECT_EQ(g_seenThreads, std::vector<DWORD>(3, owner.load()));

  // Changes made through SetupAPI are broadcast too: the disabled stick takes
  // its disk along, the child first.
  ASSERT_TRUE(Call(kStick, DIF_PROPERTYCHANGE, DICS_DISABLE));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"all:removal:USBSTOR#DISK&VEN_SANDISK#4C53&0",
                                                  "class:removal:USB#VID_0781&PID_5567#4C53",
                                                  "all:removal:USB#VID_0781&PID_5567#4C53"}));

  // Once the windows' thread ended nothing waits for it.
  stop = true;
  pump.join();
  ASSERT_TRUE(Call(kStick, DIF_PROPERTYCHANGE, DICS_ENABLE));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_TRUE(TakeSeen().empty());
}

LRESULT CALLBACK NodesProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  static std::atomic<int>* counts = nullptr;
  if (msg == WM_USER) counts = reinterpret_cast<std::atomic<int>*>(lParam);
  if (msg == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED && counts) ++counts[lParam == 0 ? 0 : 1];
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A window's registrations go with it, whether it is destroyed or its
// thread ends: no later change is broadcast (nor journalled) to it. Every
// top-level window hears that nodes changed without registering.
TEST_F(User32Broadcast, RegistrationsGoWithTheirWindowAndEveryWindowHearsThatNodesChanged) {
  RegisterProc(WIDE("DmGoneWindow"), DefWindowProcW);
  auto registered = [] {
    HWND hwnd = Window("DmGoneWindow");
    EXPECT_NE(RegisterDeviceNotificationW(hwnd, &g_usbDevice, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES), nullptr);
    return hwnd;
  };
  EXPECT_TRUE(DestroyWindow(registered()));
  std::thread(registered).join();
  winsim::ClearDeviceJournal();
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  ASSERT_TRUE(winsim::GetDeviceState(kStick).started);
  for (const auto& entry : winsim::DeviceJournal())
    EXPECT_EQ(entry.change.find("broadcast"), std::string::npos) << entry.change;

  RegisterProc(WIDE("DmNodesTest"), NodesProc);
  std::atomic<int> counts[2] = {{0}, {0}};  // without data, with data
  std::atomic<bool> ready{false}, stop{false};
  std::thread pump([&] {
    HWND hwnd = Window("DmNodesTest");
    SendMessageW(hwnd, WM_USER, 0, reinterpret_cast<LPARAM>(counts));
    ready = true;
    for (MSG msg; !stop; Sleep(5)) PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    DestroyWindow(hwnd);
  });
  while (!ready) Sleep(1);
  // The stick and its disk (no interface needed) each go, then come and start.
  ASSERT_TRUE(winsim::UnplugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  int unplugged = counts[0];
  EXPECT_GE(unplugged, 1);
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_GT(counts[0].load(), unplugged);
  EXPECT_EQ(counts[1].load(), 0);
  stop = true;
  pump.join();
}

// A message sent to a window whose thread ends without pumping returns 0 then.
TEST_F(User32Broadcast, EndingOwnerThreadReleasesSender) {
  RegisterProc(WIDE("DmSilentOwner"), DefWindowProcW);
  std::atomic<HWND> hwnd{nullptr};
  std::atomic<bool> ready{false}, pending{false}, returned{false};
  std::thread owner([&] {
    hwnd = Window("DmSilentOwner");
    ready = true;
    pending = MsgWaitForMultipleObjectsEx(0, nullptr, 10000, QS_SENDMESSAGE, 0) == WAIT_OBJECT_0 && !returned;
  });
  while (!ready) Sleep(1);
  EXPECT_NE(hwnd.load(), nullptr);
  EXPECT_EQ(SendMessageW(hwnd, WM_USER, 0, 0), 0);
  returned = true;
  owner.join();
  EXPECT_TRUE(pending) << "the sender did not wait for the owner";
  EXPECT_EQ(FindWindowA("DmSilentOwner", nullptr), nullptr);
}

TEST_F(WinsimTree, ASubtreeFollowsItsRootAndComesBackAfterItsStartDelays) {
  ASSERT_TRUE(Listed(kKeyboard) && Listed(kMouse));
  ASSERT_TRUE(Call(kMouse, DIF_PROPERTYCHANGE, DICS_DISABLE));
  ASSERT_TRUE(Call(kReceiver, DIF_PROPERTYCHANGE, DICS_DISABLE));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), Problem(kReceiver));
  ULONG problem = 0;
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
  EXPECT_EQ(0u, Problem(kKeyboard));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), Problem(kMouse));

  // A restart: the receiver goes and comes back at once, its children later.
  ASSERT_TRUE(Call(kReceiver, DIF_PROPERTYCHANGE, DICS_PROPCHANGE));
  EXPECT_TRUE(winsim::GetDeviceState(kReceiver).started);
  EXPECT_FALSE(Listed(kKeyboard));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_TRUE(Listed(kKeyboard));
  EXPECT_EQ(4u, Journal("gone").size()) << "the receiver, its interface, keyboard and mouse went";
}

TEST_F(WinsimTree, PluggedStickStartsLayerByLayerItsPortableKeyFollowsPresenceAndInUseItWaitsForTheReboot) {
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

  // Disabling or removing a device in use waits for the reboot.
  ASSERT_TRUE(winsim::SetDeviceInUse(kVolume, true));
  DWORD flags = 0;
  ASSERT_TRUE(Call(kStick, DIF_PROPERTYCHANGE, DICS_DISABLE, &flags));  // an ancestor of the volume
  EXPECT_TRUE(flags & DI_NEEDREBOOT);
  ASSERT_TRUE(Call(kVolume, DIF_REMOVE, 0, &flags));
  EXPECT_TRUE(flags & DI_NEEDREBOOT);
  EXPECT_TRUE(Listed(kVolume));
  EXPECT_TRUE(winsim::GetDeviceState(kStick).started);

  winsim::RebootMachine();
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), Problem(kStick));
  EXPECT_FALSE(Listed(kDisk));
  EXPECT_FALSE(winsim::GetDeviceState(kVolume).exists);
}

TEST_F(WinsimTree, AFirstPlugCreatesEachNodeAtItsParentsStartAndTheNodesStayAfterUnplug) {
  // The second receiver: its members say nothing of "known".
  const char* const receiver = "USB\\VID_046D&PID_C534\\5&1C2B3A4D&0&9";
  const char* const hidIf = "USB\\VID_046D&PID_C534&MI_00\\6&9&0&0000";
  const char* const keyboard = "HID\\VID_046D&PID_C534&MI_00\\7&9&0&0000";
  auto locate = [](const char* id) {
    std::u16string wid(id, id + strlen(id));
    DEVINST inst = 0;
    return CM_Locate_DevNodeW(&inst, const_cast<WCHAR*>(wid.c_str()), CM_LOCATE_DEVNODE_PHANTOM);
  };
  for (const char* id : {receiver, hidIf, keyboard}) {
    EXPECT_FALSE(Listed(id, DIGCF_ALLCLASSES)) << id;
    EXPECT_EQ(CR_NO_SUCH_DEVNODE, locate(id)) << id;
  }

  // Plugged: the receiver starts, its function gets a node at once and
  // arrives after its delay, and only then the keyboard gets its node.
  winsim::ClearDeviceJournal();
  uint64_t start = winsim::JournalClockMs();
  ASSERT_TRUE(winsim::PlugDevice(receiver));
  EXPECT_TRUE(Listed(receiver, DIGCF_ALLCLASSES) && Listed(hidIf, DIGCF_ALLCLASSES));
  EXPECT_FALSE(Listed(hidIf));
  EXPECT_FALSE(Listed(keyboard, DIGCF_ALLCLASSES));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_EQ(Journal("node created"), (Times{{receiver, start}, {hidIf, start}, {keyboard, start + 40}}));
  EXPECT_EQ(Journal("arrived"), (Times{{receiver, start}, {hidIf, start + 40}, {keyboard, start + 60}}));

  // Unplugged: known from now on, as non-present nodes.
  ASSERT_TRUE(winsim::UnplugDevice(receiver));
  for (const char* id : {receiver, hidIf, keyboard}) {
    EXPECT_TRUE(Listed(id, DIGCF_ALLCLASSES) && !Listed(id)) << id;
    EXPECT_EQ(CR_SUCCESS, locate(id)) << id;
  }
}

TEST_F(WinsimTree, AStandardUserChangesNoDeviceAndNoMachineKey) {
  Load(Tree(R"("elevated": false,)"));
  EXPECT_FAILS(Call(kMouse, DIF_PROPERTYCHANGE, DICS_DISABLE), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_FAILS(Call(kMouse, DIF_REMOVE, 0), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(winsim::GetDeviceState(kMouse).started);

  const GUID wpd = {0xeec5ad98, 0x8080, 0x425f, {0x92, 0x2a, 0xda, 0xbf, 0x3d, 0xe3, 0xf6, 0x9a}};
  EXPECT_FAILS(SetupDiOpenClassRegKeyExW(&wpd, KEY_SET_VALUE, DIOCR_INSTALLER, nullptr, nullptr),
               reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), ERROR_ACCESS_DENIED);
  HKEY key = SetupDiOpenClassRegKeyExW(&wpd, KEY_READ, DIOCR_INSTALLER, nullptr, nullptr);
  ASSERT_NE(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), key);
  RegCloseKey(key);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExW(HKEY_LOCAL_MACHINE, u"X", 0, REG_DWORD, (const BYTE*)"\1\0\0\0", 4));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Vendor", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  RegCloseKey(key);

  // The machine itself still plugs devices and writes their keys.
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_TRUE(WpdKey());
}

}  // namespace
