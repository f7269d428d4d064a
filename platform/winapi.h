// The one Win32 include of module code. On Windows it is the system's own
// headers; everywhere else it is winsim, our simulated Windows, which declares
// the same types, constants and functions with the same sizes and semantics.
// Only this header (and winsim itself) may test the platform.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>
#include <objbase.h>
#include <rpc.h>
#include <iphlpapi.h>
#include <shlwapi.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <share.h>
#include <stdio.h>
// Exported entry point of a plug-in or agent library (C linkage).
#define DM_EXPORT extern "C" __declspec(dllexport)
// A new thread as the platform's clock must know of it (nothing on Windows).
inline void PlatformAnnounceThread() {}
inline void PlatformThreadBegins() {}
#else
#include "winsim/win32.h"
#define DM_EXPORT extern "C" __attribute__((visibility("default")))
// winsim's virtual clock waits for a thread from its creation.
inline void PlatformAnnounceThread() { WinsimAnnounceThread(); }
inline void PlatformThreadBegins() { WinsimThreadBegins(); }
#endif

// WCHAR and the UTF-16 literals (WIDE), also for code without the Win32 API.
#include "winchar.h"

// Sizes the module and the host rely on, on both builds.
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4, "32-bit DWORD/LONG/ULONG");
static_assert(sizeof(void*) == 8, "x86-64 only");
static_assert(sizeof(GUID) == 16, "GUID");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24, "SECURITY_ATTRIBUTES");
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA");
static_assert(sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W) == 560, "SP_DEVINFO_LIST_DETAIL_DATA_W");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == 584, "SP_DEVINSTALL_PARAMS_W");
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "SP_PROPCHANGE_PARAMS");
static_assert(sizeof(SP_REMOVEDEVICE_PARAMS) == 16, "SP_REMOVEDEVICE_PARAMS");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "DEV_BROADCAST_DEVICEINTERFACE_W");
