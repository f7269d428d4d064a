// winsim: the subset of the Win32 API that DeviceManager uses, over a simulated
// machine. Included only through platform/winapi.h on non-Windows builds.
// Types keep Windows' sizes (LLP64): DWORD, LONG and ULONG are 32-bit, WCHAR is
// 16-bit, pointers and *_PTR types are 64-bit.
#pragma once
#include "winsim/types.h"
#include "winsim/kernel.h"
#include "winsim/registry.h"
#include "winsim/misc.h"
#include "winsim/user32.h"
#include "winsim/setupapi.h"
