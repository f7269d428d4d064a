// The audit record composer: one CVaultLogOpt per record, configured by the
// caller and sent once with MakeLog through the audit-log library.
#pragma once
#include <cstdint>
#include <string>
#include <rapidjson/document.h>
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

// Local (ANSI) code page text to UTF-8 by way of UTF-16; empty when the text
// is empty or cannot be converted.
std::string AnsiToUtf8(const std::string& text);

// The system time in milliseconds since 1970: the audit record's logTime.
int64_t UnixTimeMs();

class CVaultLogOpt {
 public:
  CVaultLogOpt();
  CVaultLogOpt(const CVaultLogOpt&) = delete;
  CVaultLogOpt& operator=(const CVaultLogOpt&) = delete;

  // Kinds 1 to 9 name the business object; any other kind leaves it unnamed.
  bool SetBusinessType(int32_t nKind);
  // Also derives the module type (AND 0xFF0000) and the log type (AND 0xFFFF00).
  void SetOperateType(int32_t nCode);
  void SetPolicyId(int64_t llId);
  void SetPolicyGroupId(int64_t llId);
  // Adds a string member to the business object (a repeated key is added again).
  void AddBusinessInfo(const std::string& strKey, const std::string& strValue);
  // Composes and sends the record: the code of Log_Write, or of Log_File when
  // the attached file could not be registered (nothing is sent then).
  eRet MakeLog();
  // Appends the description of the attached file to `fileInfo` (a JSON array).
  eRet AuditAttInfo(rapidjson::Value& fileInfo);

  int32_t m_nBusinessType;
  std::string m_strBusinessName;
  rapidjson::Document m_docLog;
  rapidjson::Value m_jsonLog;
  rapidjson::Value m_jsonBusinessInfo;
  rapidjson::Value m_jsonBusiness;
  rapidjson::Value m_jsonMatch;
  int32_t m_nModuleType;
  int32_t m_nLogType;
  int32_t m_nOperateType;
  uint32_t m_nLogFileMode;
  int32_t m_nActionType;
  int64_t m_llPolicyId;
  int64_t m_llPolicyGroupId;
  int64_t m_llLogTime;
  uint64_t m_llFileSize;  // bytes; 0 = not known yet
  DWORD m_dwSessionId;
  int32_t m_nResult;
  std::string m_strUserSid;
  std::string m_strCltGuid;
  std::string m_strCltIp;
  std::string m_strFilePath;  // local code page; empty = no attachment
  std::string m_strOsUserName;
  std::string m_strServerIp;
  std::string m_strFileSecId;
  std::string m_strFileUserSid;
  std::string m_strResultInfo;
};
