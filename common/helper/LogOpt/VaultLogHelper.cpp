#include "common/helper/LogOpt/VaultLogHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/LogOpt/VaultLogApi.h"

namespace {

enum { kLog_Write, kLog_File, kLog_File_Start, kLog_File_Write, kLog_File_End, kNameCount };

const char* const g_names[kNameCount] = {"Log_Write", "Log_File", "Log_File_Start", "Log_File_Write",
                                         "Log_File_End"};

std::atomic<void*> g_slots[kNameCount];
std::atomic<HMODULE> g_module{nullptr};
const DllLibrary g_library = {"vaultlog.dll", g_names, g_slots, kNameCount, &g_module, DLL_LOAD_ERROR_SINK};

}  // namespace

namespace VaultLogHelper {
eRet Dll_Init_Check_Function(void* slot) {
  return DllInitCheckFunction(g_library, static_cast<std::atomic<void*>*>(slot));
}
}  // namespace VaultLogHelper

eRet Log_Write(const char* pRecord, ULONGLONG ullLength) {
  return DllCall<PFN_Log_Write>(VaultLogHelper::Dll_Init_Check_Function, g_slots[kLog_Write], pRecord, ullLength);
}

eRet Log_File(const char* pPath, CMemBuffer* pFileId, DWORD dwMode) {
  return DllCall<PFN_Log_File>(VaultLogHelper::Dll_Init_Check_Function, g_slots[kLog_File], pPath, pFileId, dwMode);
}
