// The change monitors against winsim's windows and registry: which
// messages stamp the change time, and the portable-devices watch.
#include <gtest/gtest.h>
#include <thread>
#include "DeviceMonitor_win32.h"
#include "DeviceOpt.h"
#include "winsim/devices_control.h"

// Plugged devices reach the window through its registration: the scenario
// tests' passes after a plug show it.
TEST(DeviceMonitor, OnlyArrivalsAndNodeChangesStampTheChangeTime) {
  ASSERT_NE(WndNotify_MakeWindow(), nullptr);
  HWND window = FindWindowA(DEVICE_NOTIFY_WINDOW_NAME, DEVICE_NOTIFY_WINDOW_NAME);
  ASSERT_NE(window, nullptr);

  g_DeviceManage.SetDeviceChangeTime(0);
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
  SendMessageW(window, WM_USER, DBT_DEVICEARRIVAL, 0);
  EXPECT_EQ(g_DeviceManage.GetDeviceChangeTime(), 0u);
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
  EXPECT_NE(g_DeviceManage.GetDeviceChangeTime(), 0u);
  // A node that started without an interface of its own says so only this way.
  g_DeviceManage.SetDeviceChangeTime(0);
  SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_NE(g_DeviceManage.GetDeviceChangeTime(), 0u);
}

TEST(DeviceMonitor, PortableDevicesWatchNeedsItsKeyAndRaisesTheFlag) {
  const char kKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices";
  winsim::DeleteRegistryKey(kKey);
  EXPECT_EQ(Thread_Reg_Change(nullptr), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(winsim::CreateRegistryKey(kKey));
  g_DeviceManage.SetDeviceChanged(0);
  // Runs until the process ends, as in the module. A change made before its
  // watch is armed would go unseen.
  std::thread(Thread_Reg_Change, nullptr).detach();
  ASSERT_TRUE(winsim::WaitForRegistryWatch(kKey, 10000));
  EXPECT_EQ(g_DeviceManage.GetDeviceChanged(), 0u);
  ASSERT_TRUE(winsim::CreateRegistryKey(std::string(kKey) + "\\WPDBUSENUMROOT#UMB#2"));
  for (int i = 0; i < 200 && g_DeviceManage.GetDeviceChanged() == 0; ++i) Sleep(10);
  EXPECT_EQ(g_DeviceManage.GetDeviceChanged(), 1u);
  EXPECT_TRUE(winsim::WaitForRegistryWatch(kKey, 10000)) << "the watch is renewed after a change";
}
