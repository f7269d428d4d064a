// vaultstrategy.dll: the agent's policy store over config\policy.json.
// Exported with C linkage under the names the module resolves; the C++ types
// in the signatures (std::map, std::string, CMemBuffer) assume the module and
// this library share one toolchain and C runtime, as the agent's do.
#include <map>
#include <string>
#include "agent/vaultcommon/AgentCodes.h"
#include "agent/vaultstrategy/PolicyStore.h"
#include "agent/vaultstrategy/VaultStrategyCodes.h"
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"
#include "common/helper/StrategyOpt/StrategyOptApi.h"

using vaultstrategy::PolicyStore;

namespace {
// Failures stay inside the library: an exception (allocation, a buffer that
// refuses to grow) becomes a result code.
template <typename Body>
eRet Guarded(Body body) {
  try {
    return body();
  } catch (...) {
    return VS_RET_FAILURE;
  }
}
}  // namespace

DM_EXPORT eRet Strategy_CheckTargetConditionBySessionId(DWORD dwSessionId, DWORD dwStrategyType, ULONGLONG ullReserved1,
                                                        ULONGLONG ullReserved2,
                                                        std::map<std::string, std::string>* pConditions,
                                                        CMemBuffer& strategyValue, CMemBuffer& strategyAction,
                                                        ULONGLONG ullReserved3, ULONGLONG ullReserved4) {
  return Guarded([&]() -> eRet {
    std::string value, action;
    if (!PolicyStore::Instance().FindStrategy(dwSessionId, dwStrategyType, pConditions, &value, &action))
      return VS_RET_NO_STRATEGY;
    strategyValue.SetString(value);
    strategyAction.SetString(action);
    return RET_SUCCESS;
  });
}

DM_EXPORT eRet Strategy_GetStrategyLastChangeTime(DWORD dwSessionId, DWORD dwKind, ULONGLONG* pullTime) {
  return Guarded([&]() -> eRet {
    if (!pullTime) return VS_RET_BAD_ARGUMENT;
    uint64_t time = 0;
    if (!PolicyStore::Instance().ChangeTime(dwKind, &time)) return VS_RET_BAD_ARGUMENT;
    *pullTime = time;
    return RET_SUCCESS;
  });
}

DM_EXPORT eRet Strategy_GetElementValueByElementId(CMemBuffer strategyText, const std::string& strKey,
                                                   std::string& strValue) {
  return Guarded([&]() -> eRet {
    std::string value;
    if (!vaultstrategy::ElementOfText(strategyText.ToString(), strKey, &value)) return VS_RET_NOT_FOUND;
    strValue = value;
    return RET_SUCCESS;
  });
}

DM_EXPORT eRet Strategy_GetConfigByStrategyGroupId(DWORD dwGroupId, ULONGLONG ullReserved, CMemBuffer& config) {
  return Guarded([&]() -> eRet {
    std::string text;
    if (!PolicyStore::Instance().GroupText(dwGroupId, &text)) return VS_RET_NOT_FOUND;
    config.SetString(text);
    return RET_SUCCESS;
  });
}

DM_EXPORT eRet Strategy_GetConfigStrategyCount(CMemBuffer config, DWORD* pdwCount) {
  return Guarded([&]() -> eRet {
    if (!pdwCount) return VS_RET_BAD_ARGUMENT;
    uint32_t count = 0;
    if (!PolicyStore::Instance().ConfigCount(config.ToString(), &count)) return VS_RET_BAD_ARGUMENT;
    *pdwCount = count;
    return RET_SUCCESS;
  });
}

DM_EXPORT eRet Strategy_GetConfigStrategyElementValue(CMemBuffer config, DWORD dwIndex, const std::string& strKey,
                                                      CMemBuffer& value) {
  return Guarded([&]() -> eRet {
    std::string text;
    if (!PolicyStore::Instance().ConfigElement(config.ToString(), dwIndex, strKey, &text)) return VS_RET_NOT_FOUND;
    value.SetString(text);
    return RET_SUCCESS;
  });
}

// The module calls through these exact types.
VAULT_SAME_SIGNATURE(Strategy_CheckTargetConditionBySessionId);
VAULT_SAME_SIGNATURE(Strategy_GetStrategyLastChangeTime);
VAULT_SAME_SIGNATURE(Strategy_GetElementValueByElementId);
VAULT_SAME_SIGNATURE(Strategy_GetConfigByStrategyGroupId);
VAULT_SAME_SIGNATURE(Strategy_GetConfigStrategyCount);
VAULT_SAME_SIGNATURE(Strategy_GetConfigStrategyElementValue);
