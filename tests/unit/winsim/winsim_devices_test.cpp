// winsim's device tree as the device-control engine sees it: enumeration,
// properties, class installer effects, machine names, injected failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winapi.h"
#include "support/test_support.h"
#include "winsim/devices_control.h"

namespace {

const GUID kDiskClass = {0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char kStick[] = "USB\\VID_0781&PID_5567\\4C530001230101108154";
const char kDisk[] = "USBSTOR\\DISK&VEN_SANDISK\\0001";
const char kWpd[] = "SWD\\WPDBUSENUM\\STICK";
const char kCpu[] = "ACPI\\GENUINEINTEL\\_0";
const char kCam[] = "USB\\VID_04F2&PID_B6DD\\CAM";

const char kMachine[] = R"({
  "computerName": "TESTBOX",
  "classes": [
    {"name": "DiskDrive", "guid": "4d36e967-e325-11ce-bfc1-08002be10318", "description": "Disk drives",
     "upperFilters": ["partmgr"]},
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000", "description": "USB controllers"},
    {"name": "Image", "guid": "6bdd1fc6-810f-11d0-bec7-08002be2092f", "description": "Imaging devices"},
    {"name": "Processor", "guid": "50127dc3-0f36-415e-a6cc-4cb3be910b65", "description": "Processors"},
    {"name": "WPD", "guid": "eec5ad98-8080-425f-922a-dabf3de3f69a", "description": "Portable Devices"},
    {"name": "Net", "guid": "4d36e972-e325-11ce-bfc1-08002be10318", "noInstallClass": true}
  ],
  "services": ["disk", "partmgr"],
  "devices": [
    {"id": "USB\\VID_0781&PID_5567\\4C530001230101108154", "hw": ["USB\\VID_0781&PID_5567&REV_0100", "USB\\VID_0781&PID_5567"],
     "compat": ["USB\\Class_08"], "class": "USB", "name": "USB Mass Storage Device", "status": "0x0180600A",
     "present": false, "interfaces": ["USB device"]},
    {"id": "USBSTOR\\DISK&VEN_SANDISK\\0001", "hw": ["USBSTOR\\DiskSanDisk"], "class": "DiskDrive",
     "name": "SanDisk Cruzer", "status": "0x0180600A", "present": false, "parent": "USB\\VID_0781&PID_5567\\4C530001230101108154",
     "interfaces": ["Disk"]},
    {"id": "SWD\\WPDBUSENUM\\STICK", "hw": ["SWD\\GENERIC"], "class": "WPD", "name": "E:\\", "status": "0x0180200A",
     "present": false, "parent": "USBSTOR\\DISK&VEN_SANDISK\\0001", "interfaces": ["Portable device"]},
    {"id": "ACPI\\GENUINEINTEL\\_0", "hw": ["ACPI\\GenuineIntel"], "class": "Processor", "name": "CPU",
     "status": "0x0180000A"},
    {"id": "USB\\VID_04F2&PID_B6DD\\CAM", "hw": ["USB\\VID_04F2&PID_B6DD"], "class": "Image", "name": "Camera",
     "friendlyName": "Integrated Camera", "status": "0x0180600A"},
    {"id": "SCSI\\DISK&VEN_NVME\\0", "hw": ["SCSI\\DiskNVMe"], "class": "DiskDrive", "name": "Boot disk",
     "status": "0x0180000A"}
  ]
})";

class WinsimDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(winsim::LoadMachineJson(kMachine, dmtest::MakeTempDir("devices"), &error)) << error;
    winsim::ClearFailures();
  }
  void TearDown() override {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }

  // Opens one device (present or not) into a fresh set.
  SP_DEVINFO_DATA Open(const char* id) {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    set_ = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    std::u16string wid(id, id + strlen(id));
    EXPECT_TRUE(SetupDiOpenDeviceInfoW(set_, wid.c_str(), nullptr, 0, &data)) << id;
    return data;
  }

  BOOL Change(SP_DEVINFO_DATA* data, DWORD state, DWORD scope = DICS_FLAG_CONFIGSPECIFIC) {
    SP_PROPCHANGE_PARAMS p{};
    p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    p.StateChange = state;
    p.Scope = scope;
    if (!SetupDiSetClassInstallParamsW(set_, data, &p.ClassInstallHeader, sizeof p)) return FALSE;
    return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_, data);
  }

  CONFIGRET Status(const SP_DEVINFO_DATA& data, ULONG* status, ULONG* problem) {
    return CM_Get_DevNode_Status(status, problem, data.DevInst, 0);
  }

  std::vector<std::string> Ids(HDEVINFO set) {
    std::vector<std::string> ids;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      WCHAR buf[MAX_DEVICE_ID_LEN];
      EXPECT_EQ(CR_SUCCESS, CM_Get_Device_ID_ExW(data.DevInst, buf, MAX_DEVICE_ID_LEN, 0, nullptr));
      ids.push_back(std::string(buf, buf + std::char_traits<WCHAR>::length(buf)));
    }
    EXPECT_EQ(DWORD(ERROR_NO_MORE_ITEMS), GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return ids;
  }

  HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

TEST_F(WinsimDevices, EnumeratesPresentOrAllDevicesByClassAndLooksUpClasses) {
  EXPECT_EQ(3u, Ids(SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr,
                                           nullptr, nullptr)).size());
  EXPECT_EQ(6u, Ids(SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr))
                    .size());
  std::vector<std::string> disks =
      Ids(SetupDiGetClassDevsExW(&kDiskClass, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::vector<std::string>{"SCSI\\DISK&VEN_NVME\\0"}, disks);

  GUID guids[1];
  DWORD required = 99;
  ASSERT_TRUE(SetupDiClassGuidsFromNameExW(u"diskdrive", guids, 1, &required, nullptr, nullptr));
  EXPECT_EQ(1u, required);
  EXPECT_EQ(kDiskClass.Data1, guids[0].Data1);
  ASSERT_TRUE(SetupDiClassGuidsFromNameExW(u"Nosuchclass", guids, 1, &required, nullptr, nullptr));
  EXPECT_EQ(0u, required);
  EXPECT_FALSE(SetupDiClassGuidsFromNameExW(u"USB", guids, 0, &required, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(1u, required);

  WCHAR name[MAX_CLASS_NAME_LEN];
  ASSERT_TRUE(SetupDiClassNameFromGuidExW(&kDiskClass, name, MAX_CLASS_NAME_LEN, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::u16string(u"DiskDrive"), name);
  GUID list[8];
  ASSERT_TRUE(SetupDiBuildClassInfoListExW(DIBCI_NOINSTALLCLASS, list, 8, &required, nullptr, nullptr));
  EXPECT_EQ(5u, required);

  // The class installer key carries the class's filters.
  HKEY key = SetupDiOpenClassRegKeyExW(&kDiskClass, KEY_READ, DIOCR_INSTALLER, nullptr, nullptr);
  ASSERT_NE(reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE), key);
  WCHAR filters[64] = {};
  DWORD size = sizeof filters, type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"UpperFilters", nullptr, &type, (LPBYTE)filters, &size));
  EXPECT_EQ(DWORD(REG_MULTI_SZ), type);
  EXPECT_EQ(std::u16string(u"partmgr"), filters);
  RegCloseKey(key);
}

TEST_F(WinsimDevices, PropertyBuffersFollowSetupApiRules) {
  SP_DEVINFO_DATA cam = Open("usb\\vid_04f2&pid_b6dd\\cam");  // instance IDs ignore case
  DWORD type = 0, required = 0;
  BYTE small[4];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_HARDWAREID, &type, small, sizeof small, &required));
  EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(DWORD(REG_MULTI_SZ), type);
  EXPECT_EQ((std::char_traits<char16_t>::length(u"USB\\VID_04F2&PID_B6DD") + 2) * 2, required);
  std::vector<BYTE> buf(required);
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_HARDWAREID, &type, buf.data(), required, nullptr));
  EXPECT_EQ(std::u16string(u"USB\\VID_04F2&PID_B6DD"), reinterpret_cast<WCHAR*>(buf.data()));

  WCHAR text[64];
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_FRIENDLYNAME, &type, (PBYTE)text, sizeof text, nullptr));
  EXPECT_EQ(std::u16string(u"Integrated Camera"), text);
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_CLASSGUID, &type, (PBYTE)text, sizeof text, nullptr));
  EXPECT_EQ(std::u16string(u"{6bdd1fc6-810f-11d0-bec7-08002be2092f}"), text);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_COMPATIBLEIDS, &type, (PBYTE)text, sizeof text, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_DATA), GetLastError());

  // Writing no data deletes a property.
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set_, &cam, SPDRP_FRIENDLYNAME, nullptr, 0));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set_, &cam, SPDRP_FRIENDLYNAME, &type, (PBYTE)text, sizeof text, nullptr));
  EXPECT_EQ(DWORD(ERROR_INVALID_DATA), GetLastError());
}

TEST_F(WinsimDevices, DisableEnableRestartChangeTheRunningState) {
  SP_DEVINFO_DATA cam = Open(kCam);
  ULONG status = 0, problem = 0;
  ASSERT_TRUE(Change(&cam, DICS_DISABLE));
  ASSERT_EQ(CR_SUCCESS, Status(cam, &status, &problem));
  EXPECT_FALSE(status & DN_STARTED);
  EXPECT_TRUE(status & DN_HAS_PROBLEM);
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), problem);

  ASSERT_TRUE(Change(&cam, DICS_PROPCHANGE));  // a restart does not enable
  ASSERT_EQ(CR_SUCCESS, Status(cam, &status, &problem));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), problem);

  ASSERT_TRUE(Change(&cam, DICS_ENABLE, DICS_FLAG_GLOBAL));
  ASSERT_TRUE(Change(&cam, DICS_ENABLE));
  ASSERT_EQ(CR_SUCCESS, Status(cam, &status, &problem));
  EXPECT_EQ(ULONG(0x0180600A), status);
  EXPECT_EQ(0u, problem);
  ASSERT_TRUE(Change(&cam, DICS_PROPCHANGE));
  ASSERT_EQ(CR_SUCCESS, Status(cam, &status, &problem));
  EXPECT_TRUE(status & DN_STARTED);

  // No DN_DISABLEABLE: the installer refuses and the device keeps running.
  SP_DEVINFO_DATA cpu = Open(kCpu);
  EXPECT_FALSE(Change(&cpu, DICS_DISABLE));
  EXPECT_EQ(DWORD(ERROR_NOT_DISABLEABLE), GetLastError());
  EXPECT_TRUE(winsim::GetDeviceState(kCpu).started);

  // Without class install parameters nothing happens.
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_, &cpu) &&
               SetupDiSetClassInstallParamsW(set_, &cpu, nullptr, 0));
}

TEST_F(WinsimDevices, NotPresentDeviceKeepsItsConfigurationUntilPlugged) {
  SP_DEVINFO_DATA disk = Open(kDisk);
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CR_NO_SUCH_DEVINST, Status(disk, &status, &problem));
  ASSERT_TRUE(Change(&disk, DICS_DISABLE));
  EXPECT_TRUE(winsim::GetDeviceState(kDisk).disabled);
  EXPECT_FALSE(winsim::GetDeviceState(kDisk).present);

  // The stick brings its disk along, disabled; the disk's portable device
  // needs a started parent and stays away.
  winsim::ClearDeviceJournal();
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  std::vector<std::string> arrived;
  for (const auto& e : winsim::DeviceJournal())
    if (e.change == "arrived") arrived.push_back(e.instanceId);
  EXPECT_EQ((std::vector<std::string>{kStick, kDisk}), arrived);
  ASSERT_EQ(CR_SUCCESS, Status(disk, &status, &problem));
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), problem);
  EXPECT_FALSE(status & DN_STARTED);
  EXPECT_TRUE(winsim::GetDeviceState(kStick).started);
  EXPECT_FALSE(winsim::GetDeviceState(kWpd).present);

  ASSERT_TRUE(Change(&disk, DICS_ENABLE));
  EXPECT_TRUE(winsim::GetDeviceState(kWpd).started);
  ASSERT_TRUE(winsim::WaitForDeviceIdle(5000));
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                         u"SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices\\SWD#WPDBUSENUM#STICK",
                                         0, KEY_READ, &key));
  RegCloseKey(key);

  ASSERT_TRUE(winsim::UnplugDevice(kStick));
  EXPECT_EQ(CR_NO_SUCH_DEVINST, Status(disk, &status, &problem));
  EXPECT_FALSE(winsim::PlugDevice("USB\\NO\\SUCH"));
  EXPECT_FALSE(SetupDiOpenDeviceInfoW(set_, u"USB\\NO\\SUCH", nullptr, 0, nullptr));
  EXPECT_EQ(DWORD(ERROR_NO_SUCH_DEVINST), GetLastError());
}

TEST_F(WinsimDevices, InstallerRefusesOrDefersToRestart) {
  SP_DEVINFO_DATA cam = Open(kCam);
  ASSERT_TRUE(winsim::SetInstallerBehaviour("Image", winsim::InstallerBehaviour::Refuse));
  EXPECT_FALSE(Change(&cam, DICS_DISABLE));
  EXPECT_TRUE(winsim::GetDeviceState(kCam).started);
  EXPECT_FALSE(winsim::GetDeviceState(kCam).disabled);

  ASSERT_TRUE(winsim::SetInstallerBehaviour(kCam, winsim::InstallerBehaviour::Restart));  // device beats class
  ASSERT_TRUE(Change(&cam, DICS_DISABLE));
  SP_DEVINSTALL_PARAMS_W params{};
  params.cbSize = sizeof params;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set_, &cam, &params));
  EXPECT_TRUE(params.Flags & DI_NEEDRESTART);
  EXPECT_TRUE(winsim::GetDeviceState(kCam).started);
  EXPECT_TRUE(winsim::GetDeviceState(kCam).pendingReboot);

  winsim::RebootMachine();
  winsim::DeviceState s = winsim::GetDeviceState(kCam);
  EXPECT_FALSE(s.started);
  EXPECT_EQ(ULONG(CM_PROB_DISABLED), s.problem);
  EXPECT_FALSE(s.pendingReboot);
  EXPECT_FALSE(winsim::DeviceJournal().empty());
}

TEST_F(WinsimDevices, RemovedDeviceVanishesUntilARescanFindsItsHardware) {
  const GUID diskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
  ASSERT_TRUE(winsim::PlugDevice(kStick));
  EXPECT_EQ(std::vector<std::string>{kDisk},
            Ids(SetupDiGetClassDevsExW(&diskInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT,
                                       nullptr, nullptr, nullptr)));
  EXPECT_EQ((std::vector<std::string>{kStick, kCam}),
            Ids(SetupDiGetClassDevsExW(nullptr, u"usb", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr, nullptr,
                                       nullptr)));

  SP_DEVINFO_DATA stick = Open(kStick);
  SP_REMOVEDEVICE_PARAMS rp{};
  rp.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  rp.ClassInstallHeader.InstallFunction = DIF_REMOVE;
  rp.Scope = DI_REMOVEDEVICE_GLOBAL;
  ASSERT_TRUE(SetupDiSetClassInstallParamsW(set_, &stick, &rp.ClassInstallHeader, sizeof rp));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set_, &stick));
  EXPECT_FALSE(winsim::GetDeviceState(kStick).exists);
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CR_INVALID_DEVNODE, Status(stick, &status, &problem));

  DEVINST root = 0;
  ASSERT_EQ(CR_SUCCESS, CM_Locate_DevNode_ExW(&root, nullptr, 0, nullptr));
  ASSERT_EQ(CR_SUCCESS, CM_Reenumerate_DevNode_Ex(root, 0, nullptr));
  EXPECT_TRUE(winsim::GetDeviceState(kStick).started);
}

TEST_F(WinsimDevices, OnlyTheLocalMachineAnswers) {
  HDEVINFO remote =
      SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, u"\\\\FILESERVER", nullptr);
  EXPECT_EQ(INVALID_HANDLE_VALUE, remote);
  EXPECT_EQ(DWORD(ERROR_INVALID_MACHINENAME), GetLastError());
  EXPECT_EQ(3u, Ids(SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr,
                                           u"\\\\testbox", nullptr)).size());
  HMACHINE machine = nullptr;
  EXPECT_EQ(CR_REMOTE_COMM_FAILURE, CM_Connect_MachineW(u"\\\\FILESERVER", &machine));
  ASSERT_EQ(CR_SUCCESS, CM_Connect_MachineW(u"TESTBOX", &machine));
  DEVINST root = 0;
  EXPECT_EQ(CR_SUCCESS, CM_Locate_DevNode_ExW(&root, nullptr, 0, machine));
  EXPECT_EQ(CR_SUCCESS, CM_Reenumerate_DevNode_Ex(root, 0, machine));
  EXPECT_EQ(CR_SUCCESS, CM_Disconnect_Machine(machine));
  EXPECT_EQ(nullptr, OpenSCManagerW(u"\\\\FILESERVER", nullptr, GENERIC_READ));
}

TEST_F(WinsimDevices, FailCallAppliesToDeviceFunctions) {
  winsim::FailCall("SetupDiGetClassDevsExW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr));
  EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  SP_DEVINFO_DATA cam = Open(kCam);
  winsim::FailCall("CM_Get_DevNode_Status", CR_FAILURE);
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CR_FAILURE, Status(cam, &status, &problem));
  EXPECT_EQ(CR_SUCCESS, Status(cam, &status, &problem));  // once only
  winsim::FailCall("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Change(&cam, DICS_DISABLE));
  EXPECT_TRUE(winsim::GetDeviceState(kCam).started);
}

TEST_F(WinsimDevices, InstallsARootDeviceAndUpdatesItsDriver) {
  ASSERT_TRUE(dmtest::WriteTextFile(winsim::HostPath("C:\\toaster.inf"),
                                    "; sample\n[Version]\nSignature=\"$WINDOWS NT$\"\nClass=%Cls%\n"
                                    "ClassGuid={6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\n[Strings]\nCls=\"Image\"\n"));
  GUID guid{};
  WCHAR cls[MAX_CLASS_NAME_LEN];
  ASSERT_TRUE(SetupDiGetINFClassW(u"C:\\toaster.inf", &guid, cls, MAX_CLASS_NAME_LEN, nullptr));
  EXPECT_EQ(std::u16string(u"Image"), cls);
  EXPECT_FALSE(SetupDiGetINFClassW(u"C:\\missing.inf", &guid, cls, MAX_CLASS_NAME_LEN, nullptr));

  set_ = SetupDiCreateDeviceInfoList(&guid, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set_, cls, &guid, nullptr, nullptr, DICD_GENERATE_ID, &data));
  const WCHAR hwid[] = u"Root\\Toaster\0";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set_, &data, SPDRP_HARDWAREID, (const BYTE*)hwid, sizeof hwid));
  EXPECT_TRUE(winsim::ListDevices(false).size() == 6u);  // not registered yet
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &data));
  EXPECT_EQ(ULONG(CM_PROB_FAILED_INSTALL), winsim::GetDeviceState("ROOT\\IMAGE\\0000").problem);

  HMODULE newdev = LoadLibraryA("newdev.dll");
  ASSERT_NE(nullptr, newdev);
  typedef BOOL (*UpdateFn)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
  auto update = reinterpret_cast<UpdateFn>(reinterpret_cast<void*>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW")));
  ASSERT_NE(nullptr, update);
  BOOL reboot = TRUE;
  ASSERT_TRUE(update(nullptr, u"root\\toaster", u"C:\\toaster.inf", INSTALLFLAG_FORCE, &reboot));
  EXPECT_FALSE(reboot);
  winsim::DeviceState s = winsim::GetDeviceState("ROOT\\IMAGE\\0000");
  EXPECT_TRUE(s.started);
  EXPECT_EQ(0u, s.problem);
  EXPECT_EQ("C:\\toaster.inf", s.driver);

  winsim::SetInstallerBehaviour("Image", winsim::InstallerBehaviour::Restart);
  ASSERT_TRUE(update(nullptr, u"Root\\Toaster", u"C:\\toaster.inf", INSTALLFLAG_FORCE, &reboot));
  EXPECT_TRUE(reboot);
  EXPECT_FALSE(update(nullptr, u"Root\\Nothing", u"C:\\toaster.inf", INSTALLFLAG_FORCE, &reboot));
  EXPECT_EQ(DWORD(ERROR_NO_SUCH_DEVINST), GetLastError());
}

TEST_F(WinsimDevices, ServicesPrivilegesAndTheRestartRecord) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
  ASSERT_NE(nullptr, scm);
  SC_HANDLE svc = OpenServiceW(scm, u"PartMgr", GENERIC_READ);
  EXPECT_NE(nullptr, svc);
  EXPECT_TRUE(CloseServiceHandle(svc));
  EXPECT_EQ(nullptr, OpenServiceW(scm, u"nosuchsvc", GENERIC_READ));
  EXPECT_EQ(DWORD(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  EXPECT_TRUE(CloseServiceHandle(scm));

  // Restarting needs the shutdown privilege enabled first.
  EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0x80010002));
  EXPECT_EQ(DWORD(ERROR_PRIVILEGE_NOT_HELD), GetLastError());
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0x80010002));
  std::vector<winsim::ExitWindowsRecord> calls = winsim::ExitWindowsCalls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_TRUE(calls[1].accepted);
  EXPECT_EQ(DWORD(0x80010002), calls[1].reason);
}

TEST(WinsimLaptop, ExampleMachineLoadsAsATree) {
  std::string error;
  ASSERT_TRUE(winsim::LoadMachineFile(DM_LAPTOP_JSON, &error)) << error;
  EXPECT_EQ(60u, winsim::ListDevices(false).size());
  EXPECT_EQ(49u, winsim::ListDevices(true).size());
  EXPECT_TRUE(winsim::GetDeviceState("USB\\VID_0951&PID_1666\\60A44C413A8CE3A0B9A50F0C").disabled);
  // The receiver's keyboard and mouse go with it.
  const char16_t kReceiver[] = u"USB\\VID_046D&PID_C52B\\5&1C2B3A4D&0&2";
  const char kKeyboard[] = "HID\\VID_046D&PID_C52B&MI_00\\7&1E5D3A2F&0&0000";
  const char kMouse[] = "HID\\VID_046D&PID_C52B&MI_01&COL01\\7&2C4B1A9E&0&0000";
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, kReceiver, nullptr, 0, &data));
  for (DWORD state : {DWORD(DICS_DISABLE), DWORD(DICS_ENABLE)}) {
    SP_PROPCHANGE_PARAMS p{};
    p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    p.StateChange = state;
    p.Scope = DICS_FLAG_CONFIGSPECIFIC;
    ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &p.ClassInstallHeader, sizeof p));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    ASSERT_TRUE(winsim::WaitForDeviceIdle(5000));
    EXPECT_EQ(state == DICS_ENABLE, winsim::GetDeviceState(kKeyboard).present);
    EXPECT_EQ(state == DICS_ENABLE, winsim::GetDeviceState(kMouse).started);
  }
  SetupDiDestroyDeviceInfoList(set);
  // A broken description is refused whole and the machine stays.
  EXPECT_FALSE(winsim::LoadMachineJson(R"({"devices": [{"id": "X\\Y\\0", "class": "NoSuchClass"}]})", ".", &error));
  EXPECT_NE(std::string::npos, error.find("NoSuchClass"));
  EXPECT_FALSE(winsim::LoadMachineJson(R"({"devices": [{"id": "X\\Y\\0", "startDelai": 300}]})", ".", &error));
  EXPECT_NE(std::string::npos, error.find("unknown member \"startDelai\"")) << error;
  EXPECT_EQ(60u, winsim::ListDevices(false).size());
}

}  // namespace
