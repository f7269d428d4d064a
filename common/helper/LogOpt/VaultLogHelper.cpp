#include "common/helper/LogOpt/VaultLogHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/LogOpt/VaultLogApi.h"

// Every name the library is asked for, in resolution order.
#define VAULTLOG_EXPORTS(X) X(Log_Write) X(Log_File) X(Log_File_Start) X(Log_File_Write) X(Log_File_End)
DLL_ADAPTER(VAULTLOG_EXPORTS, "vaultlog.dll", VaultLogHelper);

eRet Log_Write(const char* pRecord, ULONGLONG ullLength) {
  return DllCall<PFN_Log_Write>(VaultLogHelper::Dll_Init_Check_Function, g_slots[kLog_Write], pRecord, ullLength);
}

eRet Log_File(const char* pPath, CMemBuffer* pFileId, DWORD dwMode) {
  return DllCall<PFN_Log_File>(VaultLogHelper::Dll_Init_Check_Function, g_slots[kLog_File], pPath, pFileId, dwMode);
}
