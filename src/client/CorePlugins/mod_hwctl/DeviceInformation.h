// The device definitions of the agent's system parameters (group 0x20060001):
// fetched from the policy library, parsed into entries, watched for changes.
// The class is both the holder of the list and the type of its entries.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "common/util/ResultCode.h"

#define RET_SYSPARAM_NO_ENTRIES 0x2301ULL   // the configuration holds no entries
#define RET_SYSPARAM_EMPTY_PARSE 0x2302ULL  // empty text or no entries at parse time

class CSysParamDeviceInfo {
 public:
  CSysParamDeviceInfo();

  eRet Init();
  eRet AnalysisDevInfoFromSysParamFile();
  uint32_t IsDevInfoInSysParamFileChanged();
  void GetDeviceInfoList(std::vector<CSysParamDeviceInfo>* pList);

  std::string GetDeviceID() const { return strDeviceID; }
  std::string GetDeviceType() const { return strDeviceType; }
  std::string GetInstancePath() const { return strInstancePath; }

  eRet GetSysDeivceInfoFromXMLfile(std::string& strDeviceInfo, std::string& strDigest);
  eRet ParseDeviceInformation(const std::string& strDeviceInfo);

  std::string m_strDeviceInfoDigest;
  std::vector<CSysParamDeviceInfo> m_vecDeviceInfo;
  std::string strDeviceID;
  std::string strDeviceName;
  std::string strDeviceType;
  std::string strInstancePath;
  int64_t m_llChangeTime;

 private:
  // Fetch, keep the digest, parse; the two callers differ only in their
  // log texts, written under the caller's name.
  eRet FetchAndParse(const char* function, const char* fetchFailure, const char* parseFailure);
};
