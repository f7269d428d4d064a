// Result codes: 64-bit unsigned, 0 on success, printed as "0x%llX".
#pragma once
#include <cstdint>

typedef unsigned long long eRet;

#define RET_SUCCESS 0ULL
#define RET_DLL_LOAD_FAILED 0x201ULL
#define RET_DLL_FUNC_NOT_FOUND 0x211ULL
#define RET_DLL_CALL_EXCEPTION 0x212ULL
