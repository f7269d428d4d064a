// vaultstrategy.dll for the fuzz targets: answers exactly what the harness
// scripted and records every question.
#include <string>

#include "common/helper/StrategyOpt/StrategyOptApi.h"
#include "platform/winapi.h"
#include "standin_vaultstrategy.h"

namespace {

FuzzStrategyScript g_script;

std::string Bytes(const CMemBuffer& buffer) {
  if (buffer.m_pBuffer == nullptr || buffer.m_nSize <= 0) return std::string();
  return std::string(reinterpret_cast<const char*>(buffer.m_pBuffer), static_cast<size_t>(buffer.m_nSize));
}

}  // namespace

DM_EXPORT FuzzStrategyScript* FuzzStrategy() { return &g_script; }

DM_EXPORT eRet Strategy_CheckTargetConditionBySessionId(DWORD dwSessionId, DWORD dwStrategyType, ULONGLONG ullReserved1,
                                                        ULONGLONG ullReserved2,
                                                        std::map<std::string, std::string>* pConditions,
                                                        CMemBuffer& strategyValue, CMemBuffer& strategyAction,
                                                        ULONGLONG ullReserved3, ULONGLONG ullReserved4) {
  ++g_script.checkCalls;
  std::string conditions = pConditions == nullptr ? "null" : "";
  if (pConditions != nullptr)
    for (const auto& pair : *pConditions) conditions += pair.first + "=" + pair.second + ";";
  g_script.checkArguments = {std::to_string(dwSessionId), std::to_string(dwStrategyType),
                             std::to_string(ullReserved1 | ullReserved2 | ullReserved3 | ullReserved4), conditions};
  if (g_script.checkCode != 0) return g_script.checkCode;
  strategyValue.Append(g_script.valueText.data(), static_cast<int64_t>(g_script.valueText.size()));
  strategyAction.Append(g_script.actionText.data(), static_cast<int64_t>(g_script.actionText.size()));
  return 0;
}

DM_EXPORT eRet Strategy_GetStrategyLastChangeTime(DWORD, DWORD, ULONGLONG* pullTime) {
  if (g_script.timeCode == 0 && pullTime != nullptr) *pullTime = g_script.time;
  return g_script.timeCode;
}

DM_EXPORT eRet Strategy_GetElementValueByElementId(CMemBuffer strategyText, const std::string& strKey,
                                                   std::string& strValue) {
  g_script.textCalls.push_back({strKey, 0, Bytes(strategyText)});
  auto answer = g_script.elements.find(strKey);
  if (answer == g_script.elements.end()) return 1;
  if (answer->second.write) strValue += answer->second.bytes;
  return answer->second.code;
}

DM_EXPORT eRet Strategy_GetConfigByStrategyGroupId(DWORD, ULONGLONG, CMemBuffer&) { return 1; }

DM_EXPORT eRet Strategy_GetConfigStrategyCount(CMemBuffer config, DWORD* pdwCount) {
  ++g_script.countCalls;
  g_script.countTexts.push_back(Bytes(config));
  if (g_script.countWrites && pdwCount != nullptr) *pdwCount = g_script.count;
  return g_script.countCode;
}

DM_EXPORT eRet Strategy_GetConfigStrategyElementValue(CMemBuffer config, DWORD dwIndex, const std::string& strKey,
                                                      CMemBuffer& value) {
  g_script.textCalls.push_back({strKey, dwIndex, Bytes(config)});
  auto answer = g_script.configElements.find({dwIndex, strKey});
  if (answer == g_script.configElements.end()) return 1;
  if (answer->second.write)
    value.Append(answer->second.bytes.data(), static_cast<int64_t>(answer->second.bytes.size()));
  return answer->second.code;
}
