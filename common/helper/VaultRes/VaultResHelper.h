// Adapter of vaultres.dll: localized texts (UTF-8).
#pragma once
#include <string>
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"

namespace VaultResHelper {
// Loads the library on first need and resolves its names; 0, 0x201 or 0x211.
eRet Dll_Init_Check_Function(void* slot);
}  // namespace VaultResHelper
// The library returns a CMemBuffer by value; the wrapper answers its text, or
// an empty string when the library is unavailable or throws.
std::string RES_GetString(const char* key);
