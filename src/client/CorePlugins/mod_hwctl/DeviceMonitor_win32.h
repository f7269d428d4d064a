// The two hardware-change monitors: a hidden window that records the time of
// each device-interface arrival, and a thread that watches the registry key of
// portable devices. Both only say that something changed, never what.
#pragma once
#include <cstdint>
#include "platform/winapi.h"

// Window class and title of the notification window.
#define DEVICE_NOTIFY_WINDOW_NAME "Devicemanager_Keychange"

// Creates the hidden window on the calling thread (whose message pump then
// runs WndNotify_Proc) and registers it for the device-interface classes.
HWND WndNotify_MakeWindow();
// Stamps the device manager's change time on a device arrival.
LRESULT CALLBACK WndNotify_Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
// Raises the device manager's change flag on every change under the
// portable-devices key; ends with g_bExit.
uint32_t Thread_Reg_Change(void* pArgument);
