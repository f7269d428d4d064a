// Adapter of vaultstrategy.dll, the policy store.
#pragma once
#include <map>
#include <string>
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

#define STRATEGY_TYPE_DEVICE 0x10030001u
#define SYSPARAM_GROUP_DEVICE 0x20060001u
#define CHANGE_KIND_STRATEGY 1u
#define CHANGE_KIND_SYSPARAM 2u

typedef std::map<std::string, std::string> StrategyConditionMap;

namespace StrategyOptHelper {
// Loads the library on first need and resolves its names; 0, 0x201 or 0x211.
eRet Dll_Init_Check_Function(void* slot);
// True for the adapter's own failures (library not loaded, a name missing,
// a call that threw): the library gave no answer. Every other code comes from
// the library itself.
inline bool IsAdapterFailure(eRet ret) {
  return ret == RET_DLL_LOAD_FAILED || ret == RET_DLL_FUNC_NOT_FOUND || ret == RET_DLL_CALL_EXCEPTION;
}
}  // namespace StrategyOptHelper

// The library functions have exactly these signatures; buffers passed by value
// are fresh copies the library owns (same toolchain and heap on both sides).
eRet Strategy_CheckTargetConditionBySessionId(DWORD dwSessionId, DWORD dwStrategyType, ULONGLONG ullReserved1,
                                              ULONGLONG ullReserved2, StrategyConditionMap* pConditions,
                                              CMemBuffer& strategyValue, CMemBuffer& strategyAction,
                                              ULONGLONG ullReserved3, ULONGLONG ullReserved4);
eRet Strategy_GetStrategyLastChangeTime(DWORD dwSessionId, DWORD dwKind, ULONGLONG* pullTime);
eRet Strategy_GetElementValueByElementId(CMemBuffer strategyText, const std::string& strKey, std::string& strValue);
eRet Strategy_GetConfigByStrategyGroupId(DWORD dwGroupId, ULONGLONG ullReserved, CMemBuffer& config);
eRet Strategy_GetConfigStrategyCount(CMemBuffer config, DWORD* pdwCount);
eRet Strategy_GetConfigStrategyElementValue(CMemBuffer config, DWORD dwIndex, const std::string& strKey,
                                            CMemBuffer& value);
