// Signature of the vaultshell.dll function the module calls. The library
// exports it with C linkage under this name.
#pragma once
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

// Shows `pText` (UTF-8) to the user; target and style as the module passes them.
typedef eRet (*PFN_UI_Notify)(DWORD dwTarget, DWORD dwStyle, const char* pText);
