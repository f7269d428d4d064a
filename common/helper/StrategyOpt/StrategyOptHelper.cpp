#include "common/helper/StrategyOpt/StrategyOptHelper.h"

#include "common/helper/DllLoader/DllLoader.h"
#include "common/helper/StrategyOpt/StrategyOptApi.h"

namespace {

enum {
  kCheckTargetConditionBySessionId,
  kGetStrategyLastChangeTime,
  kGetElementValueByElementId,
  kGetConfigByStrategyGroupId,
  kGetConfigStrategyCount,
  kGetConfigStrategyElementValue,
  kNameCount
};

const char* const g_names[kNameCount] = {
    "Strategy_CheckTargetConditionBySessionId", "Strategy_GetStrategyLastChangeTime",
    "Strategy_GetElementValueByElementId",      "Strategy_GetConfigByStrategyGroupId",
    "Strategy_GetConfigStrategyCount",          "Strategy_GetConfigStrategyElementValue"};

std::atomic<void*> g_slots[kNameCount];
std::atomic<HMODULE> g_module{nullptr};
const DllLibrary g_library = {"vaultstrategy.dll", g_names, g_slots, kNameCount, &g_module, DLL_LOAD_ERROR_SINK};

}  // namespace

namespace StrategyOptHelper {
eRet Dll_Init_Check_Function(void* slot) {
  return DllInitCheckFunction(g_library, static_cast<std::atomic<void*>*>(slot));
}
}  // namespace StrategyOptHelper

eRet Strategy_CheckTargetConditionBySessionId(DWORD dwSessionId, DWORD dwStrategyType, ULONGLONG ullReserved1,
                                              ULONGLONG ullReserved2, StrategyConditionMap* pConditions,
                                              CMemBuffer& strategyValue, CMemBuffer& strategyAction,
                                              ULONGLONG ullReserved3, ULONGLONG ullReserved4) {
  return DllCall<PFN_Strategy_CheckTargetConditionBySessionId>(
      StrategyOptHelper::Dll_Init_Check_Function, g_slots[kCheckTargetConditionBySessionId], dwSessionId,
      dwStrategyType, ullReserved1, ullReserved2, pConditions, strategyValue, strategyAction, ullReserved3,
      ullReserved4);
}

eRet Strategy_GetStrategyLastChangeTime(DWORD dwSessionId, DWORD dwKind, ULONGLONG* pullTime) {
  return DllCall<PFN_Strategy_GetStrategyLastChangeTime>(StrategyOptHelper::Dll_Init_Check_Function,
                                                         g_slots[kGetStrategyLastChangeTime], dwSessionId, dwKind,
                                                         pullTime);
}

// The by-value wrappers hand the library a fresh copy of their own argument
// (made inside DllCall's handler) and release the argument on return.
eRet Strategy_GetElementValueByElementId(CMemBuffer strategyText, const std::string& strKey, std::string& strValue) {
  return DllCall<PFN_Strategy_GetElementValueByElementId>(StrategyOptHelper::Dll_Init_Check_Function,
                                                          g_slots[kGetElementValueByElementId], strategyText, strKey,
                                                          strValue);
}

eRet Strategy_GetConfigByStrategyGroupId(DWORD dwGroupId, ULONGLONG ullReserved, CMemBuffer& config) {
  return DllCall<PFN_Strategy_GetConfigByStrategyGroupId>(StrategyOptHelper::Dll_Init_Check_Function,
                                                          g_slots[kGetConfigByStrategyGroupId], dwGroupId,
                                                          ullReserved, config);
}

eRet Strategy_GetConfigStrategyCount(CMemBuffer config, DWORD* pdwCount) {
  return DllCall<PFN_Strategy_GetConfigStrategyCount>(StrategyOptHelper::Dll_Init_Check_Function,
                                                      g_slots[kGetConfigStrategyCount], config, pdwCount);
}

eRet Strategy_GetConfigStrategyElementValue(CMemBuffer config, DWORD dwIndex, const std::string& strKey,
                                            CMemBuffer& value) {
  return DllCall<PFN_Strategy_GetConfigStrategyElementValue>(StrategyOptHelper::Dll_Init_Check_Function,
                                                             g_slots[kGetConfigStrategyElementValue], config, dwIndex,
                                                             strKey, value);
}
