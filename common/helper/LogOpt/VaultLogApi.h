// Signatures of the vaultlog.dll functions the module calls. The library
// exports them with C linkage under these names; C++ types crossing here
// assume the same toolchain and C runtime on both sides.
#pragma once
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

// Hands over one serialized audit record of `ullLength` bytes.
typedef eRet (*PFN_Log_Write)(const char* pRecord, ULONGLONG ullLength);
// Registers a file; `pFileId` (empty on entry) receives its identifier.
typedef eRet (*PFN_Log_File)(const char* pPath, CMemBuffer* pFileId, DWORD dwMode);
