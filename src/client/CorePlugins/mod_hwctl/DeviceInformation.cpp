#include "DeviceInformation.h"

#include "common/helper/StrategyOpt/StrategyOptHelper.h"
#include "common/helper/VaultBase/VaultBaseHelper.h"
#include "common/helper/VaultFileOpt/vaultfileopthelper.h"
#include "common/util/DiagLog.h"
#include "common/util/MemBuffer.h"

namespace {

// Every "\\" pair becomes one "\", scanning on behind each replacement, so
// four backslashes in a row keep two.
std::string ReduceBackslashPairs(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') ++i;
  }
  return out;
}

// More definitions than any policy holds: a count beyond is the library's
// error, and each one costs four calls under the pass lock.
const DWORD kMaxDeviceDefinitions = 10000;

}  // namespace

CSysParamDeviceInfo::CSysParamDeviceInfo() : m_llChangeTime(0) {}

eRet CSysParamDeviceInfo::GetSysDeivceInfoFromXMLfile(std::string& strDeviceInfo, std::string& strDigest) {
  CMemBuffer baConfig;
  eRet eRetFetch = Strategy_GetConfigByStrategyGroupId(SYSPARAM_GROUP_DEVICE, 0, baConfig);
  if (eRetFetch != RET_SUCCESS) return eRetFetch;
  DWORD dwCount = 0;
  Strategy_GetConfigStrategyCount(baConfig, &dwCount);
  if (dwCount == 0) return RET_SYSPARAM_NO_ENTRIES;
  strDeviceInfo = baConfig.ToString();
  Application_BufferSha1(strDeviceInfo, strDigest, 0);
  return RET_SUCCESS;
}

eRet CSysParamDeviceInfo::ParseDeviceInformation(const std::string& strDeviceInfo) {
  DIAG_LOG(LOG_INFO, "strDeviceInfo = %s", strDeviceInfo.c_str());
  if (strDeviceInfo.empty()) {
    DIAG_LOG(LOG_ERROR, "strDeviceInfo is empty!");
    return RET_SYSPARAM_EMPTY_PARSE;
  }
  CMemBuffer baConfig;
  baConfig.SetString(strDeviceInfo);
  DWORD dwCount = 0;
  Strategy_GetConfigStrategyCount(baConfig, &dwCount);
  if (dwCount == 0) {
    DIAG_LOG(LOG_ERROR, "baStrategyValue is empty!");
    return RET_SYSPARAM_EMPTY_PARSE;
  }

  if (dwCount > kMaxDeviceDefinitions) {
    DIAG_LOG(LOG_ERROR, "the library counts %u device definitions: only the first %u are read",
             static_cast<unsigned>(dwCount), static_cast<unsigned>(kMaxDeviceDefinitions));
    dwCount = kMaxDeviceDefinitions;
  }

  m_vecDeviceInfo.clear();
  CMemBuffer baValue;
  DWORD dwFound = 0;  // fields of the current entry the library delivered
  auto readElement = [&](DWORD dwIndex, const char* key) {
    baValue.Clear();
    // A failing read leaves the buffer empty: the field is then empty.
    if (Strategy_GetConfigStrategyElementValue(baConfig, dwIndex, key, baValue) == RET_SUCCESS) ++dwFound;
    return baValue.ToString();
  };
  for (DWORD dwIndex = 0; dwIndex < dwCount; ++dwIndex) {
    CSysParamDeviceInfo devInfo;
    dwFound = 0;
    devInfo.strDeviceName = readElement(dwIndex, "deviceName_10");
    devInfo.strDeviceType = readElement(dwIndex, "deviceType_10");
    devInfo.strInstancePath = ReduceBackslashPairs(readElement(dwIndex, "deviceInstance_10"));
    devInfo.strDeviceID = readElement(dwIndex, "deviceId_10");
    // Not one field: the group ends here, whatever its count said.
    if (dwFound == 0) {
      DIAG_LOG(LOG_ERROR, "the library counts %u device definitions but the group holds %u",
               static_cast<unsigned>(dwCount), static_cast<unsigned>(dwIndex));
      break;
    }
    DIAG_LOG(LOG_INFO,
             "devInfo.strDeviceName = %s, devInfo.strDeviceType = %s, devInfo.strInstancePath = %s, "
             "devInfo.strDeviceID = %s",
             devInfo.strDeviceName.c_str(), devInfo.strDeviceType.c_str(), devInfo.strInstancePath.c_str(),
             devInfo.strDeviceID.c_str());
    m_vecDeviceInfo.push_back(devInfo);
  }
  return RET_SUCCESS;
}

eRet CSysParamDeviceInfo::FetchAndParse(const char* function, const char* fetchFailure, const char* parseFailure) {
  std::string strDeviceInfo;
  std::string strDigest;
  eRet eRetStep = GetSysDeivceInfoFromXMLfile(strDeviceInfo, strDigest);
  if (eRetStep != RET_SUCCESS) {
    DIAG_LOG_AS(LOG_ERROR, function, "%s", fetchFailure);
    return eRetStep;
  }
  m_strDeviceInfoDigest = strDigest;
  eRetStep = ParseDeviceInformation(strDeviceInfo);
  if (eRetStep != RET_SUCCESS) {
    DIAG_LOG_AS(LOG_ERROR, function, "%s", parseFailure);
    return eRetStep;
  }
  return RET_SUCCESS;
}

eRet CSysParamDeviceInfo::Init() {
  return FetchAndParse("CSysParamDeviceInfo::Init", "GetSysDeivceInfoFromXMLfile failed @ Init!",
                       "ParseDeviceInformation failed @ Init!");
}

eRet CSysParamDeviceInfo::AnalysisDevInfoFromSysParamFile() {
  return FetchAndParse("CSysParamDeviceInfo::AnalysisDevInfoFromSysParamFile",
                       "GetSysDeivceInfoFromXMLfile failed @ IsDevInfoInSysParamFileFresh.",
                       "ParseDeviceInformation failed @ IsDevInfoInSysParamFileFresh.");
}

uint32_t CSysParamDeviceInfo::IsDevInfoInSysParamFileChanged() {
  ULONGLONG ullChangeTime = 0;
  eRet eRetTime = Strategy_GetStrategyLastChangeTime(GetLocalUserSessionId(), CHANGE_KIND_SYSPARAM, &ullChangeTime);
  if (eRetTime != RET_SUCCESS) {
    DIAG_LOG(LOG_ERROR, "Select SysParam Changetime fail! eRet = 0x%llx", eRetTime);
    ullChangeTime = 0;
  }
  if (static_cast<int64_t>(ullChangeTime) == m_llChangeTime) return 0;
  m_llChangeTime = static_cast<int64_t>(ullChangeTime);

  std::string strDeviceInfo;
  std::string strDigest;
  if (GetSysDeivceInfoFromXMLfile(strDeviceInfo, strDigest) != RET_SUCCESS) return 0;
  if (strDigest == m_strDeviceInfoDigest) return 0;
  m_strDeviceInfoDigest = strDigest;
  return 1;
}

void CSysParamDeviceInfo::GetDeviceInfoList(std::vector<CSysParamDeviceInfo>* pList) {
  Init();
  if (!pList) return;
  pList->assign(m_vecDeviceInfo.begin(), m_vecDeviceInfo.end());
}
