#include "DeviceMonitor_win32.h"

#include <cstring>
#include "ModuleState.h"
#include "DeviceOpt.h"
#include "common/util/DiagLog.h"
#include "common/util/ScopedHandle.h"

namespace {

const WCHAR kWindowClassW[] = WIDE("Devicemanager_Keychange");

// The USB device interface class, then the second class the module registers.
const WCHAR* const kInterfaceClasses[] = {
    WIDE("{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
    WIDE("{084F9363-E31A-4BDE-9CA5-6FA0D86E009F}"),
};

const WCHAR kPortableDevicesKey[] = WIDE("SOFTWARE\\Microsoft\\Windows Portable Devices\\Devices");
const REGSAM kPortableDevicesAccess = 0xF013F;  // all access, 64-bit view
const DWORD kNotifyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
const DWORD kWaitMs = 10000;

bool Exiting() { return g_bExit.load(std::memory_order_relaxed); }

uint32_t WatchPortableDevices() {
  DIAG_LOG_AS(LOG_INFO, "Thread_Reg_Change", "Enter Thread_Reg_Change");
  // The key and the event live as long as the watch; the key is closed first.
  KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.IsValid()) {
    DWORD error = GetLastError();
    DIAG_LOG_AS(LOG_ERROR, "Thread_Reg_Change", "CreateEventW error %u", static_cast<unsigned>(error));
    return error;
  }
  HKEY hKey = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortableDevicesKey, 0, kPortableDevicesAccess, &hKey);
  if (status != ERROR_SUCCESS) {
    DIAG_LOG_AS(LOG_ERROR, "Thread_Reg_Change", "RegOpenKeyExW error %u", static_cast<unsigned>(GetLastError()));
    return static_cast<uint32_t>(status);
  }
  RegKey key(hKey);
  status = RegNotifyChangeKeyValue(key.Get(), TRUE, kNotifyFilter, event.Get(), TRUE);
  if (status != ERROR_SUCCESS) {
    DIAG_LOG_AS(LOG_ERROR, "Thread_Reg_Change", "Error NotifyChangeKeyValue return error %d", static_cast<int>(status));
    return static_cast<uint32_t>(status);
  }
  while (!Exiting()) {
    if (WaitForSingleObjectEx(event.Get(), kWaitMs, FALSE) == WAIT_OBJECT_0) {
      ResetEvent(event.Get());
      // A request reports one change and is then spent: asked again before
      // the change is acted on, so that nothing after it goes unseen.
      status = RegNotifyChangeKeyValue(key.Get(), TRUE, kNotifyFilter, event.Get(), TRUE);
      if (status != ERROR_SUCCESS)
        DIAG_LOG_AS(LOG_ERROR, "Thread_Reg_Change", "Error NotifyChangeKeyValue return error %d",
                    static_cast<int>(status));
      g_DeviceManage.SetDeviceChanged(1);
      g_DeviceManage.WakeDeviceThread();
      if (status != ERROR_SUCCESS) break;
    }
  }
  DIAG_LOG_AS(LOG_INFO, "Thread_Reg_Change", "Exit Thread_Reg_Change");
  return 0;
}

}  // namespace

HWND WndNotify_MakeWindow() {
  // The host executable's instance, not this library's.
  HINSTANCE hInstance = GetModuleHandleW(nullptr);

  WNDCLASSW wc;
  memset(&wc, 0, sizeof(wc));
  wc.style = 0;
  wc.lpfnWndProc = WndNotify_Proc;
  wc.hInstance = hInstance;
  // IDC_ARROW (32512) spelled wide: the Windows headers give IDC_ARROW the
  // narrow type unless UNICODE is defined.
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
  wc.lpszClassName = kWindowClassW;
  RegisterClassW(&wc);

  HWND hWnd = CreateWindowExA(0, DEVICE_NOTIFY_WINDOW_NAME, DEVICE_NOTIFY_WINDOW_NAME, WS_MINIMIZE, 0, 0, 0, 0, nullptr,
                              nullptr, hInstance, nullptr);

  // The two classes, then every class: a device is judged when it starts,
  // whatever its interfaces (a stick's disk, volume and portable device start
  // after the stick, and only their own arrivals say so).
  for (size_t i = 0; i <= sizeof(kInterfaceClasses) / sizeof(kInterfaceClasses[0]); ++i) {
    const bool bAll = i == sizeof(kInterfaceClasses) / sizeof(kInterfaceClasses[0]);
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    if (!bAll) CLSIDFromString(kInterfaceClasses[i], &filter.dbcc_classguid);
    // Kept, like the window, until the process ends: the module never stops
    // listening, so the handles are never unregistered.
    HDEVNOTIFY hNotify = RegisterDeviceNotificationW(
        hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | (bAll ? DEVICE_NOTIFY_ALL_INTERFACE_CLASSES : 0));
    DWORD error = GetLastError();
    DIAG_LOG_AS(LOG_INFO, "WndNotify_MakeWindow", "RegisterDeviceNotification hNotify = 0x%X, Error=%d",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(hNotify)), static_cast<int>(error));
  }
  return hWnd;
}

LRESULT CALLBACK WndNotify_Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  try {
    // A node that starts without an interface of its own raises no arrival:
    // only the tree's change broadcast says that it started.
    if (uMsg == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVNODES_CHANGED))
      g_DeviceManage.NoteDeviceArrival(GetTickCount());
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  } catch (...) {
    DIAG_LOG_AS(LOG_ERROR, "WndNotify_Proc", "exception");
  }
  return 0;
}

uint32_t Thread_Reg_Change(void*) {
  try {
    return WatchPortableDevices();
  } catch (...) {
    DIAG_LOG_AS(LOG_ERROR, "Thread_Reg_Change", "exception, thread ends");
  }
  return 0;
}
