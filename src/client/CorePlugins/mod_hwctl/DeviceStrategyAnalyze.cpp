#include "DeviceStrategyAnalyze.h"

#include "common/helper/StrategyOpt/StrategyOptHelper.h"
#include "common/helper/VaultBase/VaultBaseHelper.h"
#include "common/util/DiagLog.h"
#include "common/util/MemBuffer.h"

device_strategyanalyze::device_strategyanalyze() : m_bLog(0), m_bTip(0), m_ullLastChangeTime(0) {}

uint32_t device_strategyanalyze::AnlyzeActFromStrategy(std::string strDeviceId) {
  m_bLog = 0;
  m_bTip = 0;
  m_strStrategyId.clear();
  m_eOutage = 0;

  CMemBuffer baStrategyValue;
  CMemBuffer baStrategyAction;
  StrategyConditionMap mapCondition;
  mapCondition["deviceId_10"] = strDeviceId;

  DWORD dwSessionId = GetLocalUserSessionId();
  eRet eRetCheck = Strategy_CheckTargetConditionBySessionId(dwSessionId, STRATEGY_TYPE_DEVICE, 0, 0, &mapCondition,
                                                            baStrategyValue, baStrategyAction, 0, 0);
  if (StrategyOptHelper::IsAdapterFailure(eRetCheck)) {
    // Said once per pass by the pass itself.
    m_eOutage = eRetCheck;
    return 0;
  }
  if (eRetCheck != RET_SUCCESS) {
    DIAG_LOG(LOG_ERROR, "Strategy not find! eRet = 0x%llx", eRetCheck);
    return 0;
  }
  DIAG_LOG(LOG_INFO, "baStrategyValue = %s, baStrategyAction = %s", baStrategyValue.ToString().c_str(),
           baStrategyAction.ToString().c_str());

  // Each read gets its own copy of the buffer; element codes are not looked
  // at: a value the library does not deliver stays empty.
  Strategy_GetElementValueByElementId(baStrategyValue, "id", m_strStrategyId);

  std::string strValue;
  Strategy_GetElementValueByElementId(baStrategyAction, "logType_10", strValue);
  m_bLog = strValue == "auditLog" ? 1 : 0;

  strValue.clear();
  Strategy_GetElementValueByElementId(baStrategyAction, "needTip_10", strValue);
  m_bTip = strValue == "true" ? 1 : 0;

  strValue.clear();
  Strategy_GetElementValueByElementId(baStrategyAction, "processMethod_10", strValue);
  uint32_t uVerdict = strValue == "forbid" ? 1 : 0;

  DIAG_LOG(LOG_INFO, "m_strStrategyId = %s, m_bLog = %d, m_bTip = %d, eRet = %d", m_strStrategyId.c_str(),
           static_cast<int>(m_bLog), static_cast<int>(m_bTip), static_cast<int>(uVerdict));
  return uVerdict;
}

uint32_t device_strategyanalyze::StrategyIsChange() {
  ULONGLONG ullChangeTime = 0;
  eRet eRetTime = Strategy_GetStrategyLastChangeTime(GetLocalUserSessionId(), CHANGE_KIND_STRATEGY, &ullChangeTime);
  if (StrategyOptHelper::IsAdapterFailure(eRetTime)) {
    // No answer: a pass runs (and says so) and the policy is read again as
    // new once the library answers.
    m_ullLastChangeTime = 0;
    return 1;
  }
  if (eRetTime != RET_SUCCESS) {
    DIAG_LOG(LOG_ERROR, "Select Strategy Changetime fail! eRet = 0x%llx", eRetTime);
    ullChangeTime = 0;
  }
  if (ullChangeTime == m_ullLastChangeTime) return 0;
  m_ullLastChangeTime = ullChangeTime;
  return 1;
}
