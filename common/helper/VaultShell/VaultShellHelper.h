// Adapter of vaultshell.dll: notifications shown to the user.
#pragma once
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

namespace VaultShellHelper {
// Loads the library on first need and resolves its names; 0, 0x201 or 0x211.
eRet Dll_Init_Check_Function(void* slot);
}  // namespace VaultShellHelper
eRet UI_Notify(DWORD dwTarget, DWORD dwStyle, const char* pText);
