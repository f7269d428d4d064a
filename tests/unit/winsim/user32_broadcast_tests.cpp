// Device arrivals and removals reach the windows registered for one of the
// device's interface classes (or for all of them), inside the owner's
// PeekMessageW, sent from winsim's system thread after the call that changed
// the device returned; senders are released when the owner thread ends.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/winapi.h"
#include "winsim/devices_control.h"

namespace {

const char kMachine[] = R"({
  "classes": [
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"},
    {"name": "DiskDrive", "guid": "4d36e967-e325-11ce-bfc1-08002be10318"},
    {"name": "Keyboard", "guid": "4d36e96b-e325-11ce-bfc1-08002be10318"}
  ],
  "devices": [
    {"id": "USB\\VID_0781&PID_5567\\4C53", "class": "USB", "status": "0x0180600A", "present": false,
     "interfaces": ["USB device"]},
    {"id": "USBSTOR\\DISK&VEN_SANDISK\\4C53&0", "class": "DiskDrive", "status": "0x0180600A", "present": false,
     "parent": "USB\\VID_0781&PID_5567\\4C53", "interfaces": ["Disk"]},
    {"id": "ACPI\\PNP0303\\7", "class": "Keyboard", "status": "0x0180600A", "present": false,
     "interfaces": ["Keyboard"]}
  ]
})";

const GUID kUsbDevice = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

struct Seen {
  HWND hwnd;
  WPARAM event;
  std::string name;
  DWORD thread;
};
std::mutex g_lock;
std::vector<Seen> g_seen;

LRESULT CALLBACK DeviceProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DEVICECHANGE && lParam) {
    const auto* b = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    std::string name;
    for (const WCHAR* c = b->dbcc_name; *c; ++c) name += static_cast<char>(*c);
    std::lock_guard<std::mutex> lock(g_lock);
    g_seen.push_back({hwnd, wParam, name, GetCurrentThreadId()});
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

std::vector<Seen> TakeSeen() {
  std::lock_guard<std::mutex> lock(g_lock);
  std::vector<Seen> out;
  out.swap(g_seen);
  return out;
}

// "<window>:<arrival|removal>:<instance ID part of the interface path>" of each message.
std::vector<std::string> Describe(const std::vector<Seen>& seen, HWND classWindow) {
  std::vector<std::string> out;
  for (const auto& s : seen)
    out.push_back(std::string(s.hwnd == classWindow ? "class" : "all") +
                  (s.event == DBT_DEVICEARRIVAL ? ":arrival:" : ":removal:") + s.name.substr(4, s.name.rfind('#') - 4));
  return out;
}

BOOL ChangeState(const char16_t* id, DWORD state) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA data = {};
  data.cbSize = sizeof data;
  SP_PROPCHANGE_PARAMS p = {};
  p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  p.StateChange = state;
  p.Scope = DICS_FLAG_CONFIGSPECIFIC;
  BOOL ok = SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &data) &&
            SetupDiSetClassInstallParamsW(set, &data, &p.ClassInstallHeader, sizeof p) &&
            SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data);
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

TEST(User32Broadcast, EveryChangeReachesItsRegisteredWindowsAfterTheCallReturns) {
  std::string error;
  ASSERT_TRUE(winsim::LoadMachineJson(kMachine, ".", &error)) << error;
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DeviceProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = WIDE("DmBroadcastTest");
  ASSERT_NE(RegisterClassW(&wc), 0);

  // One window for the USB device class, one for every class. Their thread
  // pumps only once `go` is set.
  std::atomic<bool> ready{false}, go{false}, stop{false};
  std::atomic<DWORD> owner{0};
  std::atomic<HWND> classWindow{nullptr};
  std::thread pump([&] {
    owner = GetCurrentThreadId();
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDevice;
    for (DWORD flags : {DWORD(DEVICE_NOTIFY_WINDOW_HANDLE), DWORD(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)}) {
      HWND hwnd = CreateWindowExA(0, "DmBroadcastTest", "DmBroadcastTest", WS_MINIMIZE, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
      if (!classWindow) classWindow = hwnd;
      EXPECT_NE(RegisterDeviceNotificationW(hwnd, &filter, flags), nullptr);
    }
    ready = true;
    while (!go) Sleep(1);
    MSG msg;
    while (!stop) {
      PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
      Sleep(20);
    }
  });
  while (!ready) Sleep(1);

  // The plug returns while the windows' thread does not pump; the stick's USB
  // device interface reaches both windows, its disk's only the one for all.
  ASSERT_TRUE(winsim::PlugDevice("USB\\VID_0781&PID_5567\\4C53"));
  EXPECT_TRUE(TakeSeen().empty());
  go = true;
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  auto seen = TakeSeen();
  EXPECT_EQ(Describe(seen, classWindow),
            (std::vector<std::string>{"class:arrival:USB#VID_0781&PID_5567#4C53", "all:arrival:USB#VID_0781&PID_5567#4C53",
                                      "all:arrival:USBSTOR#DISK&VEN_SANDISK#4C53&0"}));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].name, "\\\\?\\USB#VID_0781&PID_5567#4C53#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(seen[0].thread, owner.load());

  // Changes made through SetupAPI are broadcast too: the disabled stick takes
  // its disk along, the child first.
  ASSERT_TRUE(ChangeState(u"USB\\VID_0781&PID_5567\\4C53", DICS_DISABLE));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_EQ(Describe(TakeSeen(), classWindow),
            (std::vector<std::string>{"all:removal:USBSTOR#DISK&VEN_SANDISK#4C53&0",
                                      "class:removal:USB#VID_0781&PID_5567#4C53", "all:removal:USB#VID_0781&PID_5567#4C53"}));

  // A keyboard reaches only the window for every class.
  ASSERT_TRUE(winsim::PlugDevice("ACPI\\PNP0303\\7"));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_EQ(Describe(TakeSeen(), classWindow), std::vector<std::string>{"all:arrival:ACPI#PNP0303#7"});

  // Once the windows' thread ended nothing waits for it.
  stop = true;
  pump.join();
  ASSERT_TRUE(winsim::UnplugDevice("ACPI\\PNP0303\\7"));
  ASSERT_TRUE(winsim::WaitForDeviceIdle(10000));
  EXPECT_TRUE(TakeSeen().empty());
}

// A message sent to a window whose thread ends without pumping returns 0 then.
TEST(User32Broadcast, EndingOwnerThreadReleasesSender) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = DefWindowProcW;
  wc.lpszClassName = WIDE("DmSilentOwner");
  ASSERT_NE(RegisterClassW(&wc), 0);
  std::atomic<HWND> hwnd{nullptr};
  std::atomic<bool> pending{false}, returned{false};
  std::thread owner([&] {
    hwnd = CreateWindowExA(0, "DmSilentOwner", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    pending = MsgWaitForMultipleObjectsEx(0, nullptr, 10000, QS_SENDMESSAGE, 0) == WAIT_OBJECT_0 && !returned;
  });
  while (!hwnd) Sleep(1);
  EXPECT_EQ(SendMessageW(hwnd, WM_USER, 0, 0), 0);
  returned = true;
  owner.join();
  EXPECT_TRUE(pending) << "the sender did not wait for the owner";
  EXPECT_EQ(FindWindowA("DmSilentOwner", nullptr), nullptr);
}

}  // namespace
