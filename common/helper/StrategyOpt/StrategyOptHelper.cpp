#include "common/helper/StrategyOpt/StrategyOptHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/StrategyOpt/StrategyOptApi.h"

// Every name the library is asked for, in resolution order.
#define VAULTSTRATEGY_EXPORTS(X)                                                                                      \
  X(Strategy_CheckTargetConditionBySessionId)                                                                         \
  X(Strategy_GetStrategyLastChangeTime) X(Strategy_GetElementValueByElementId) X(Strategy_GetConfigByStrategyGroupId) \
      X(Strategy_GetConfigStrategyCount) X(Strategy_GetConfigStrategyElementValue)
DLL_ADAPTER(VAULTSTRATEGY_EXPORTS, "vaultstrategy.dll", StrategyOptHelper);

eRet Strategy_CheckTargetConditionBySessionId(DWORD dwSessionId, DWORD dwStrategyType, ULONGLONG ullReserved1,
                                              ULONGLONG ullReserved2, StrategyConditionMap* pConditions,
                                              CMemBuffer& strategyValue, CMemBuffer& strategyAction,
                                              ULONGLONG ullReserved3, ULONGLONG ullReserved4) {
  return DllCall<PFN_Strategy_CheckTargetConditionBySessionId>(
      StrategyOptHelper::Dll_Init_Check_Function, g_slots[kStrategy_CheckTargetConditionBySessionId], dwSessionId,
      dwStrategyType, ullReserved1, ullReserved2, pConditions, strategyValue, strategyAction, ullReserved3,
      ullReserved4);
}

eRet Strategy_GetStrategyLastChangeTime(DWORD dwSessionId, DWORD dwKind, ULONGLONG* pullTime) {
  return DllCall<PFN_Strategy_GetStrategyLastChangeTime>(StrategyOptHelper::Dll_Init_Check_Function,
                                                         g_slots[kStrategy_GetStrategyLastChangeTime], dwSessionId,
                                                         dwKind, pullTime);
}

// The by-value wrappers hand the library a fresh copy of their own argument
// (made inside DllCall's handler) and release the argument on return.
eRet Strategy_GetElementValueByElementId(CMemBuffer strategyText, const std::string& strKey, std::string& strValue) {
  return DllCall<PFN_Strategy_GetElementValueByElementId>(StrategyOptHelper::Dll_Init_Check_Function,
                                                          g_slots[kStrategy_GetElementValueByElementId], strategyText,
                                                          strKey, strValue);
}

eRet Strategy_GetConfigByStrategyGroupId(DWORD dwGroupId, ULONGLONG ullReserved, CMemBuffer& config) {
  return DllCall<PFN_Strategy_GetConfigByStrategyGroupId>(StrategyOptHelper::Dll_Init_Check_Function,
                                                          g_slots[kStrategy_GetConfigByStrategyGroupId], dwGroupId,
                                                          ullReserved, config);
}

eRet Strategy_GetConfigStrategyCount(CMemBuffer config, DWORD* pdwCount) {
  return DllCall<PFN_Strategy_GetConfigStrategyCount>(StrategyOptHelper::Dll_Init_Check_Function,
                                                      g_slots[kStrategy_GetConfigStrategyCount], config, pdwCount);
}

eRet Strategy_GetConfigStrategyElementValue(CMemBuffer config, DWORD dwIndex, const std::string& strKey,
                                            CMemBuffer& value) {
  return DllCall<PFN_Strategy_GetConfigStrategyElementValue>(StrategyOptHelper::Dll_Init_Check_Function,
                                                             g_slots[kStrategy_GetConfigStrategyElementValue], config,
                                                             dwIndex, strKey, value);
}
