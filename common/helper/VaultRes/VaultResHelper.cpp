#include "common/helper/VaultRes/VaultResHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultRes/VaultResApi.h"

// Every name the library is asked for, in resolution order.
#define VAULTRES_EXPORTS(X) X(RES_GetString) X(RES_GetErrorInfo)
DLL_ADAPTER(VAULTRES_EXPORTS, "vaultres.dll", VaultResHelper);

std::string RES_GetString(const char* key) {
  if (VaultResHelper::Dll_Init_Check_Function(&g_slots[kRES_GetString]) != RET_SUCCESS) return std::string();
  try {
    PFN_RES_GetString fn = reinterpret_cast<PFN_RES_GetString>(g_slots[kRES_GetString].load(std::memory_order_relaxed));
    CMemBuffer text = fn(key);
    return text.ToString();
  } catch (...) {
    return std::string();
  }
}
