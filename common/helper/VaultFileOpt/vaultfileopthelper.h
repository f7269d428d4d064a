// Adapter of vaultfileopt.dll: digests.
#pragma once
#include <string>
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

namespace vaultfileopthelper {
// Loads the library on first need and resolves its names; 0, 0x201 or 0x211.
eRet Dll_Init_Check_Function(void* slot);
}  // namespace vaultfileopthelper
eRet Application_BufferSha1(const std::string& strInput, std::string& strDigest, DWORD dwOption);
