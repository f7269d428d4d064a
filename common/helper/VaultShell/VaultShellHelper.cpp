#include "common/helper/VaultShell/VaultShellHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultShell/VaultShellApi.h"

// Every name the library is asked for.
#define VAULTSHELL_EXPORTS(X) X(UI_Notify)
DLL_ADAPTER(VAULTSHELL_EXPORTS, "vaultshell.dll", VaultShellHelper);

eRet UI_Notify(DWORD dwTarget, DWORD dwStyle, const char* pText) {
  return DllCall<PFN_UI_Notify>(VaultShellHelper::Dll_Init_Check_Function, g_slots[kUI_Notify], dwTarget, dwStyle,
                                pText);
}
