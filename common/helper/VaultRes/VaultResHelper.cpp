#include "common/helper/VaultRes/VaultResHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/VaultRes/VaultResApi.h"

namespace {

enum { kRES_GetString, kRES_GetErrorInfo, kNameCount };

const char* const g_names[kNameCount] = {"RES_GetString", "RES_GetErrorInfo"};

std::atomic<void*> g_slots[kNameCount];
std::atomic<HMODULE> g_module{nullptr};
const DllLibrary g_library = {"vaultres.dll", g_names, g_slots, kNameCount, &g_module, DLL_LOAD_ERROR_SINK};

}  // namespace

namespace VaultResHelper {
eRet Dll_Init_Check_Function(void* slot) {
  return DllInitCheckFunction(g_library, static_cast<std::atomic<void*>*>(slot));
}
}  // namespace VaultResHelper

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
