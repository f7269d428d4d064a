#include "DeviceFileControl.h"

#include <cstdio>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include "ModuleState.h"
#include "common/util/DiagLog.h"
#include "common/util/HostIdentity.h"
#include "common/util/ScopedHandle.h"
#include "common/util/file/FileHelper_win32.h"
#include "platform/winapi.h"

namespace {

const char kFileName[] = "config\\ForbidDeviceInfo.dat";
const char kMemberName[] = "deviceName_10";
const int kMaxSetAside = 10;  // .bad, .bad.1 ... .bad.9

// Writes `text` to a new file `path` and flushes it to the disk; false with
// an ERROR line on any failure.
bool WriteWholeFile(const std::string& path, const std::string& text) {
  KernelHandle file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    DIAG_LOG(LOG_ERROR, "Open File %s Fail!", path.c_str());
    return false;
  }
  DWORD written = 0;
  bool ok =
      WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  if (!ok) DIAG_LOG(LOG_ERROR, "writing %s failed: error %u", path.c_str(), static_cast<unsigned>(GetLastError()));
  if (ok && !FlushFileBuffers(file.Get())) {
    DIAG_LOG(LOG_ERROR, "flushing %s failed: error %u", path.c_str(), static_cast<unsigned>(GetLastError()));
    ok = false;
  }
  // Closed here rather than by the owner: a failed close is a failed write.
  if (!CloseHandle(file.Release())) {
    DIAG_LOG(LOG_ERROR, "closing %s failed: error %u", path.c_str(), static_cast<unsigned>(GetLastError()));
    ok = false;
  }
  return ok;
}

// Reads one JSON string starting at its opening quote; false when it is cut.
bool ReadJsonString(const std::string& text, size_t& pos, std::string& out) {
  out.clear();
  for (++pos; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= text.size()) return false;
    switch (text[pos]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        if (pos + 4 >= text.size()) return false;
        unsigned value = 0;
        for (int i = 1; i <= 4; ++i) {
          char h = text[pos + i];
          unsigned digit = h >= '0' && h <= '9'   ? h - '0'
                           : h >= 'a' && h <= 'f' ? h - 'a' + 10
                           : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                  : 16;
          if (digit > 15) return false;
          value = value * 16 + digit;
        }
        // The writer escapes only control characters this way.
        if (value > 0xFF) return false;
        out += static_cast<char>(value);
        pos += 4;
        break;
      }
      default: return false;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> SalvageForbidDeviceIds(const std::string& text) {
  std::vector<std::string> ids;
  const std::string key = std::string("\"") + kMemberName + "\"";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
    size_t pos = at + key.size();
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
      ++pos;
    if (pos >= text.size() || text[pos] != ':') {
      at = pos;
      continue;
    }
    ++pos;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r' || text[pos] == '\n'))
      ++pos;
    std::string id;
    if (pos < text.size() && text[pos] == '"' && ReadJsonString(text, pos, id) && !id.empty()) ids.push_back(id);
    at = pos;
  }
  return ids;
}

device_filecontrol::device_filecontrol() {}

const std::string& device_filecontrol::FilePathLocked() {
  if (m_strDeviceInfoFilePath.empty()) {
    std::string dir = GetInstallDir();
    // Without an installation folder the path is tried again next time.
    if (dir.empty()) {
      DIAG_LOG(LOG_ERROR, "installation folder unknown");
      m_strFallbackPath = kFileName;
      return m_strFallbackPath;
    }
    m_strDeviceInfoFilePath = dir + kFileName;
  }
  return m_strDeviceInfoFilePath;
}

std::string device_filecontrol::GetFilePath() {
  RankedLock lock(m_mtxFile, LockRank::kFacade);
  return FilePathLocked();
}

void device_filecontrol::SetAsideLocked(const std::string& path) {
  for (int i = 0; i < kMaxSetAside; ++i) {
    std::string aside = path + ".bad" + (i == 0 ? std::string() : "." + std::to_string(i));
    if (MoveFileExA(path.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
      DIAG_LOG(LOG_ERROR, "the unreadable %s is kept as %s", path.c_str(), aside.c_str());
      m_bContentKnown = false;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  DIAG_LOG(LOG_ERROR, "the unreadable %s could not be kept aside (error %u): the next pass replaces it", path.c_str(),
           static_cast<unsigned>(GetLastError()));
}

bool device_filecontrol::ReadForbidDeviceInfoToVector(std::vector<stDevice>* pVecDevice) {
  if (pVecDevice == nullptr) {
    DIAG_LOG(LOG_ERROR, "no device list");
    return false;
  }
  pVecDevice->clear();
  RankedLock lock(m_mtxFile, LockRank::kFacade);
  const std::string& path = FilePathLocked();

  // File_GetSize answers all bits set for a missing file or a directory: read
  // as a signed size, that is below 1 like an empty file.
  const int64_t size = static_cast<int64_t>(File_GetSize(path.c_str()));
  if (size < 1) {
    DIAG_LOG(LOG_ERROR, "strDeviceInfoFilePath = %s not find!", path.c_str());
    m_bContentKnown = size == -1;  // missing: known to hold nothing
    m_strContent.clear();
    return false;
  }
  if (static_cast<uint64_t>(size) > FORBID_FILE_MAX_BYTES) {
    DIAG_LOG(LOG_ERROR, "strDeviceInfoFilePath = %s holds %lld bytes, more than the %llu a forbidden-device file may",
             path.c_str(), static_cast<long long>(size), static_cast<unsigned long long>(FORBID_FILE_MAX_BYTES));
    SetAsideLocked(path);
    return false;
  }
  std::string strTemp;
  {
    ScopedFile file(_fsopen(path.c_str(), "rb", _SH_DENYNO));
    if (!file.IsValid()) {
      DIAG_LOG(LOG_ERROR, "Open File %s Fail!", path.c_str());
      return false;
    }
    char chunk[4096];
    size_t got = 0;
    while (strTemp.size() <= FORBID_FILE_MAX_BYTES && (got = fread(chunk, 1, sizeof(chunk), file.Get())) > 0)
      strTemp.append(chunk, got);
  }
  DIAG_LOG(LOG_INFO, "strTemp = %s", strTemp.c_str());

  // Iterative: nesting, however deep, costs heap, not stack.
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(strTemp.c_str(), strTemp.size());
  if (doc.HasParseError() || !doc.IsArray()) {
    std::vector<std::string> ids = SalvageForbidDeviceIds(strTemp);
    DIAG_LOG(LOG_ERROR, "%s is not a list of devices (%s at offset %u); %u entries recovered from it", path.c_str(),
             doc.HasParseError() ? rapidjson::GetParseError_En(doc.GetParseError()) : "not an array",
             static_cast<unsigned>(doc.GetErrorOffset()), static_cast<unsigned>(ids.size()));
    for (const std::string& id : ids) {
      m_stDevice.ResetDevice();
      m_stDevice.strInstancePath = id;
      pVecDevice->push_back(m_stDevice);
      DIAG_LOG(LOG_INFO, "ForbidList DeviceName = %s", id.c_str());
    }
    DIAG_LOG(LOG_INFO, "nCount = %d", static_cast<int>(ids.size()));
    SetAsideLocked(path);
    return true;
  }
  const rapidjson::SizeType nCount = doc.Size();
  DIAG_LOG(LOG_INFO, "nCount = %d", static_cast<int>(nCount));
  for (rapidjson::SizeType i = 0; i < nCount; ++i) {
    const rapidjson::Value& element = doc[i];
    m_stDevice.ResetDevice();
    if (element.IsObject()) {
      rapidjson::Value::ConstMemberIterator name = element.FindMember(kMemberName);
      if (name != element.MemberEnd() && name->value.IsString())
        m_stDevice.strInstancePath.assign(name->value.GetString(), name->value.GetStringLength());
    }
    pVecDevice->push_back(m_stDevice);
    DIAG_LOG(LOG_INFO, "ForbidList DeviceName = %s", m_stDevice.strInstancePath.c_str());
  }
  m_bContentKnown = true;
  m_strContent = strTemp;
  return true;
}

bool device_filecontrol::WriteForbidDeviceInfoToFile(std::vector<stDevice>* pVecDevice) {
  RankedLock lock(m_mtxFile, LockRank::kFacade);
  const std::string& path = FilePathLocked();
  const size_t nDevices = pVecDevice == nullptr ? 0 : pVecDevice->size();
  DIAG_LOG(LOG_INFO, "strDeviceInfoFilePath = %s, vecDevice.size() = %d", path.c_str(), static_cast<int>(nDevices));

  // Strings are written byte for byte as the records hold them (local code
  // page); the writer only escapes quotes, backslashes and control characters.
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartArray();
  for (size_t i = 0; i < nDevices; ++i) {
    const std::string& instance = (*pVecDevice)[i].strInstancePath;
    writer.StartObject();
    writer.Key(kMemberName);
    writer.String(instance.c_str(), static_cast<rapidjson::SizeType>(instance.size()));
    writer.EndObject();
  }
  writer.EndArray();
  const std::string strJson(buffer.GetString(), buffer.GetSize());
  DIAG_LOG(LOG_INFO, "strJson = %s, strJson.len = %d", strJson.c_str(), static_cast<int>(strJson.size()));
  if (m_bContentKnown && m_strContent == strJson && File_GetSize(path.c_str()) == strJson.size()) return true;

  // The new content goes to a file beside the old one, reaches the disk, and
  // then replaces the old file in one step.
  const std::string temporary = path + ".tmp";
  if (!WriteWholeFile(temporary, strJson)) {
    DeleteFileA(temporary.c_str());
    return false;
  }
  if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DIAG_LOG(LOG_ERROR, "replacing %s failed: error %u; the old file stays", path.c_str(),
             static_cast<unsigned>(GetLastError()));
    DeleteFileA(temporary.c_str());
    return false;
  }
  m_bContentKnown = true;
  m_strContent = strJson;
  return true;
}

void device_filecontrol::DeleteForbidDeviceInfoFile() {
  RankedLock lock(m_mtxFile, LockRank::kFacade);
  remove(FilePathLocked().c_str());
  m_bContentKnown = true;
  m_strContent.clear();
}
