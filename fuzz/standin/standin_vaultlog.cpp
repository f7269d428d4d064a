// vaultlog.dll for the fuzz targets: keeps the last record handed to
// Log_Write, so the harness can read exactly what the composer sent.
#include <string>

#include "common/helper/LogOpt/VaultLogApi.h"
#include "platform/winapi.h"
#include "standin_vaultlog.h"

namespace {
std::string g_lastRecord;
}

DM_EXPORT eRet Log_Write(const char* pRecord, ULONGLONG ullLength) {
  g_lastRecord.assign(pRecord, static_cast<size_t>(ullLength));
  return 0;
}

DM_EXPORT eRet Log_File(const char* pPath, CMemBuffer* pFileId, DWORD dwMode) {
  // The harness attaches no file; a call means the composer took the file branch.
  return 0x10F;
}

DM_EXPORT const std::string* FuzzLastAuditRecord() { return &g_lastRecord; }
