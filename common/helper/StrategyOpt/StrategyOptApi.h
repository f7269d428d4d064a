// Signatures of the vaultstrategy.dll functions the module calls. The library
// exports them with C linkage under these names. C++ types crossing here
// (std::string, the condition map, CMemBuffer by value, the heap behind them)
// assume the same toolchain and C runtime on both sides. A buffer passed by
// value is the library's own copy.
#pragma once
#include <map>
#include <string>
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

typedef eRet (*PFN_Strategy_CheckTargetConditionBySessionId)(DWORD dwSessionId, DWORD dwStrategyType,
                                                             ULONGLONG ullReserved1, ULONGLONG ullReserved2,
                                                             std::map<std::string, std::string>* pConditions,
                                                             CMemBuffer& strategyValue, CMemBuffer& strategyAction,
                                                             ULONGLONG ullReserved3, ULONGLONG ullReserved4);
typedef eRet (*PFN_Strategy_GetStrategyLastChangeTime)(DWORD dwSessionId, DWORD dwKind, ULONGLONG* pullTime);
typedef eRet (*PFN_Strategy_GetElementValueByElementId)(CMemBuffer strategyText, const std::string& strKey,
                                                        std::string& strValue);
typedef eRet (*PFN_Strategy_GetConfigByStrategyGroupId)(DWORD dwGroupId, ULONGLONG ullReserved, CMemBuffer& config);
typedef eRet (*PFN_Strategy_GetConfigStrategyCount)(CMemBuffer config, DWORD* pdwCount);
typedef eRet (*PFN_Strategy_GetConfigStrategyElementValue)(CMemBuffer config, DWORD dwIndex, const std::string& strKey,
                                                           CMemBuffer& value);
