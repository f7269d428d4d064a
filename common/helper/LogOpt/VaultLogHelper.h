// Adapter of vaultlog.dll: audit records and attached files.
#pragma once
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

namespace VaultLogHelper {
// Loads the library on first need and resolves its names; 0, 0x201 or 0x211.
eRet Dll_Init_Check_Function(void* slot);
}  // namespace VaultLogHelper
eRet Log_Write(const char* pRecord, ULONGLONG ullLength);
eRet Log_File(const char* pPath, CMemBuffer* pFileId, DWORD dwMode);
#define RET_LOG_FILE_TOO_LARGE 0x10FULL
