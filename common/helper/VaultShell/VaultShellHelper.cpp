#include "common/helper/VaultShell/VaultShellHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultShell/VaultShellApi.h"

namespace {

enum { kUI_Notify, kNameCount };

const char* const g_names[kNameCount] = {"UI_Notify"};

std::atomic<void*> g_slots[kNameCount];
std::atomic<HMODULE> g_module{nullptr};
const DllLibrary g_library = {"vaultshell.dll", g_names, g_slots, kNameCount, &g_module, DLL_LOAD_ERROR_SINK};

}  // namespace

namespace VaultShellHelper {
eRet Dll_Init_Check_Function(void* slot) {
  return DllInitCheckFunction(g_library, static_cast<std::atomic<void*>*>(slot));
}
}  // namespace VaultShellHelper

eRet UI_Notify(DWORD dwTarget, DWORD dwStyle, const char* pText) {
  return DllCall<PFN_UI_Notify>(VaultShellHelper::Dll_Init_Check_Function, g_slots[kUI_Notify], dwTarget, dwStyle,
                                pText);
}
