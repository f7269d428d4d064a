#include "common/helper/LogOpt/VaultLogOpt.h"

#include <cmath>
#include <list>
#include <vector>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include "common/helper/LogOpt/VaultLogHelper.h"
#include "common/helper/VaultBase/VaultBaseHelper.h"
#include "common/util/DiagLog.h"
#include "common/util/HostIdentity.h"
#include "common/util/MemBuffer.h"
#include "common/util/file/FileHelper_win32.h"

namespace {

// 100-ns units between 1601-01-01 (FILETIME) and 1970-01-01.
const int64_t kUnixEpochIn100ns = 116444736000000000LL;
const uint64_t kUnknownSize = 0xFFFFFFFFFFFFFFFFULL;

rapidjson::Value JsonString(const std::string& text, rapidjson::Document::AllocatorType& allocator) {
  return rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), allocator);
}

// Size in KiB rounded up; a size that could not be determined counts as 0.
int64_t KiBRoundedUp(uint64_t bytes) {
  if (bytes == kUnknownSize) return 0;
  return static_cast<int64_t>(std::ceil(static_cast<double>(bytes) / 1024.0));
}

}  // namespace

int64_t UnixTimeMs() {
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return (ticks - kUnixEpochIn100ns) / 10000;
}

std::string AnsiToUtf8(const std::string& text) {
  if (text.empty()) return std::string();
  int length = static_cast<int>(text.size());
  int wideLength = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (wideLength <= 0) return std::string();
  std::vector<WCHAR> wide(static_cast<size_t>(wideLength));
  wideLength = MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), wideLength);
  if (wideLength <= 0) return std::string();
  int utf8Length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (utf8Length <= 0) return std::string();
  std::string utf8(static_cast<size_t>(utf8Length), '\0');
  utf8Length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &utf8[0], utf8Length, nullptr, nullptr);
  if (utf8Length <= 0) return std::string();
  utf8.resize(static_cast<size_t>(utf8Length));
  return utf8;
}

CVaultLogOpt::CVaultLogOpt()
    : m_nBusinessType(-1),
      m_docLog(rapidjson::kObjectType),
      m_jsonLog(rapidjson::kObjectType),
      m_jsonBusinessInfo(rapidjson::kArrayType),
      m_jsonBusiness(rapidjson::kObjectType),
      m_jsonMatch(rapidjson::kArrayType),
      m_nModuleType(0),
      m_nLogType(0),
      m_nOperateType(0),
      m_nLogFileMode(4),
      m_nActionType(0),
      m_llPolicyId(0),
      m_llPolicyGroupId(0),
      m_llLogTime(0),
      m_llFileSize(0),
      m_dwSessionId(0),
      m_nResult(0) {
  m_strOsUserName = GetOsUserName();
  m_nLogFileMode = 4;
  m_nResult = 0;
  m_dwSessionId = GetLocalUserSessionId();
  const char* user = Mem_GetSessionUser(m_dwSessionId);
  if (user) m_strUserSid = user + 72;
  const char* guid = Mem_GetClientGuid(1);
  if (guid) m_strCltGuid = guid;
  m_strFileUserSid = m_strUserSid;
  const char* server = Mem_GetServerIp(1);
  if (server) m_strServerIp = server;

  m_llLogTime = UnixTimeMs();

  std::list<std::string> addresses;
  GetLocalIpList(addresses);
  for (const std::string& address : addresses) {
    if (!m_strCltIp.empty()) m_strCltIp += ";";
    m_strCltIp += address;
  }
}

bool CVaultLogOpt::SetBusinessType(int32_t nKind) {
  static const char* const kNames[] = {"UDiskInfo",  "networkInfo", "approveInfo", "waterMarkInfo", "processInfo",
                                       "deviceInfo", "mailInfo",    "printInfo",   "otherInfo"};
  m_nBusinessType = nKind;
  if (nKind < 1 || nKind > 9) {
    m_strBusinessName.clear();
    return false;
  }
  m_strBusinessName = kNames[nKind - 1];
  return true;
}

void CVaultLogOpt::SetOperateType(int32_t nCode) {
  m_nOperateType = nCode;
  m_nLogType = nCode & 0xFFFF00;
  m_nModuleType = nCode & 0xFF0000;
}

void CVaultLogOpt::SetPolicyId(int64_t llId) { m_llPolicyId = llId; }

void CVaultLogOpt::SetPolicyGroupId(int64_t llId) { m_llPolicyGroupId = llId; }

void CVaultLogOpt::AddBusinessInfo(const std::string& strKey, const std::string& strValue) {
  auto& allocator = m_docLog.GetAllocator();
  // MakeLog moves the business object away; a later call starts a new one.
  if (!m_jsonBusiness.IsObject()) m_jsonBusiness.SetObject();
  m_jsonBusiness.AddMember(JsonString(strKey, allocator), JsonString(strValue, allocator), allocator);
}

eRet CVaultLogOpt::AuditAttInfo(rapidjson::Value& fileInfo) {
  auto& allocator = m_docLog.GetAllocator();
  rapidjson::Value description(rapidjson::kObjectType);
  DWORD attributes = GetFileAttributesA(m_strFilePath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    std::string fileName = GetFileNameFromPath(m_strFilePath.c_str());
    std::string docType;
    size_t dot = fileName.rfind('.');
    if (dot != std::string::npos) docType = fileName.substr(dot + 1);
    if (m_llFileSize == 0) m_llFileSize = File_GetSize(m_strFilePath.c_str());
    int64_t sizeKiB = KiBRoundedUp(m_llFileSize);

    if (m_nLogFileMode != 0) {
      CMemBuffer fileId;
      eRet eRetFile = Log_File(m_strFilePath.c_str(), &fileId, m_nLogFileMode);
      if (eRetFile == RET_SUCCESS) {
        std::string id = fileId.ToString();
        m_jsonLog.AddMember("attSize", sizeKiB, allocator);
        m_jsonLog.AddMember("attGuid", JsonString(id, allocator), allocator);
        description.AddMember("fileId", JsonString(id, allocator), allocator);
      } else if (eRetFile == RET_LOG_FILE_TOO_LARGE) {
        DIAG_LOG(LOG_WARN, "Log_File failure because of file over max size. eRet=0x%llX", eRetFile);
      } else {
        DIAG_LOG(LOG_ERROR, "Log_File failure, eRet=0x%llX", eRetFile);
        return eRetFile;
      }
    }

    if (!m_strFileUserSid.empty())
      description.AddMember("fileUserSid", JsonString(m_strFileUserSid, allocator), allocator);
    if (!m_strFileSecId.empty()) description.AddMember("fileSecId", JsonString(m_strFileSecId, allocator), allocator);
    description.AddMember("fileName", JsonString(AnsiToUtf8(fileName), allocator), allocator);
    description.AddMember("fileSize", sizeKiB, allocator);
    description.AddMember("fileDocType", JsonString(docType, allocator), allocator);
    if (m_jsonMatch.IsArray() && !m_jsonMatch.Empty())
      description.AddMember("match", rapidjson::Value(m_jsonMatch, allocator), allocator);
  }
  description.AddMember("filePath", JsonString(AnsiToUtf8(m_strFilePath), allocator), allocator);
  fileInfo.PushBack(description, allocator);
  return RET_SUCCESS;
}

eRet CVaultLogOpt::MakeLog() {
  auto& allocator = m_docLog.GetAllocator();
  if (!m_strFilePath.empty()) {
    rapidjson::Value fileInfo(rapidjson::kArrayType);
    eRet eRetFile = AuditAttInfo(fileInfo);
    if (eRetFile != RET_SUCCESS) return eRetFile;
    rapidjson::Value item(rapidjson::kObjectType);
    item.AddMember("businessType", 0, allocator);
    item.AddMember("fileInfo", fileInfo, allocator);
    m_jsonBusinessInfo.PushBack(item, allocator);
  }
  if (!m_strBusinessName.empty()) {
    if (!m_jsonBusiness.IsObject()) m_jsonBusiness.SetObject();
    rapidjson::Value item(rapidjson::kObjectType);
    item.AddMember("businessType", m_nBusinessType, allocator);
    item.AddMember(JsonString(m_strBusinessName, allocator), m_jsonBusiness, allocator);  // moves it
    m_jsonBusinessInfo.PushBack(item, allocator);
  }

  m_jsonLog.AddMember("logVersion", 4, allocator);
  m_jsonLog.AddMember("logId", JsonString(CreateGuidString(), allocator), allocator);
  m_jsonLog.AddMember("logTime", m_llLogTime, allocator);
  m_jsonLog.AddMember("userSid", JsonString(m_strUserSid, allocator), allocator);
  m_jsonLog.AddMember("moduleType", m_nModuleType, allocator);
  m_jsonLog.AddMember("logType", m_nLogType, allocator);
  m_jsonLog.AddMember("operateType", m_nOperateType, allocator);
  m_jsonLog.AddMember("actionType", m_nActionType, allocator);
  m_jsonLog.AddMember("cltGuid", JsonString(m_strCltGuid, allocator), allocator);
  m_jsonLog.AddMember("cltIp", JsonString(m_strCltIp, allocator), allocator);
  m_jsonLog.AddMember("policyId", m_llPolicyId, allocator);
  m_jsonLog.AddMember("policyGroupId", m_llPolicyGroupId, allocator);
  m_jsonLog.AddMember("osUserName", JsonString(m_strOsUserName, allocator), allocator);
  m_jsonLog.AddMember("serverIp", JsonString(m_strServerIp, allocator), allocator);
  m_jsonLog.AddMember("result", static_cast<int64_t>(m_nResult), allocator);
  m_jsonLog.AddMember("resultInfo", JsonString(m_strResultInfo, allocator), allocator);
  m_jsonLog.AddMember("businessInfo", rapidjson::Value(m_jsonBusinessInfo, allocator), allocator);

  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  m_jsonLog.Accept(writer);
  std::string strSendLogInfo(buffer.GetString(), buffer.GetSize());
  DIAG_LOG(LOG_INFO, "MakeLog strSendLogInfo = %s", strSendLogInfo.c_str());

  eRet eRetWrite = Log_Write(strSendLogInfo.c_str(), strSendLogInfo.size());
  if (eRetWrite != RET_SUCCESS) DIAG_LOG(LOG_ERROR, "Log_Write failure, eRet=0x%llX", eRetWrite);
  return eRetWrite;
}
