// The change monitors against winsim's windows and registry: which
// broadcasts stamp the change time, and the portable-devices watch.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include "DeviceMonitor_win32.h"
#include "DeviceOpt.h"
#include "winsim/devices_control.h"

namespace {

const char kMachine[] = R"({
  "classes": [{"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"}],
  "devices": [{"id": "USB\\VID_0781&PID_5567\\PLUG", "class": "USB", "name": "Stick", "status": "0x0180600A",
               "present": false, "interfaces": ["USB device"]}]
})";

// Pumps this thread's messages until `done`, as Thread_Module_Main does.
void PumpUntil(const std::atomic<bool>& done) {
  for (int i = 0; i < 500 && !done.load(); ++i) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    Sleep(10);
  }
}

}  // namespace

TEST(DeviceMonitor, OnlyArrivalsStampTheChangeTime) {
  std::string error;
  ASSERT_TRUE(winsim::LoadDeviceTreeJson(kMachine, &error)) << error;
  ASSERT_NE(WndNotify_MakeWindow(), nullptr);
  HWND window = FindWindowA(DEVICE_NOTIFY_WINDOW_NAME, DEVICE_NOTIFY_WINDOW_NAME);
  ASSERT_NE(window, nullptr);

  g_DeviceManage.SetDeviceChangeTime(0);
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
  SendMessageW(window, WM_USER, DBT_DEVICEARRIVAL, 0);
  EXPECT_EQ(g_DeviceManage.GetDeviceChangeTime(), 0u);

  // A plugged USB device reaches the window through its registration.
  std::atomic<bool> done{false};
  std::thread plug([&done]() {
    winsim::PlugDevice("USB\\VID_0781&PID_5567\\PLUG");
    winsim::WaitForDeviceIdle(5000);  // the broadcast comes from winsim's system thread
    done = true;
  });
  PumpUntil(done);
  plug.join();
  EXPECT_NE(g_DeviceManage.GetDeviceChangeTime(), 0u);
}

TEST(DeviceMonitor, PortableDevicesWatchNeedsItsKeyAndRaisesTheFlag) {
  const char kKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices";
  winsim::DeleteRegistryKey(kKey);
  EXPECT_EQ(Thread_Reg_Change(nullptr), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(winsim::CreateRegistryKey(kKey));
  g_DeviceManage.SetDeviceChanged(0);
  // Runs until the process ends, as in the module.
  std::thread(Thread_Reg_Change, nullptr).detach();
  Sleep(200);
  EXPECT_EQ(g_DeviceManage.GetDeviceChanged(), 0u);
  ASSERT_TRUE(winsim::CreateRegistryKey(std::string(kKey) + "\\WPDBUSENUMROOT#UMB#2"));
  for (int i = 0; i < 200 && g_DeviceManage.GetDeviceChanged() == 0; ++i) Sleep(10);
  EXPECT_EQ(g_DeviceManage.GetDeviceChanged(), 1u);
}
