#include "DeviceFileControl.h"

#include <cstdio>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include "common/util/DiagLog.h"
#include "common/util/HostIdentity.h"
#include "common/util/file/FileHelper_win32.h"
#include "platform/winapi.h"

namespace {

const char kFileName[] = "config\\ForbidDeviceInfo.dat";
const char kMemberName[] = "deviceName_10";

// Closes a C stream on every path.
struct StreamCloser {
  FILE* m_pFile;
  explicit StreamCloser(FILE* pFile) : m_pFile(pFile) {}
  ~StreamCloser() {
    if (m_pFile != nullptr) fclose(m_pFile);
  }
  StreamCloser(const StreamCloser&) = delete;
  StreamCloser& operator=(const StreamCloser&) = delete;
};

}  // namespace

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
  std::lock_guard<std::mutex> lock(m_mtxFile);
  return FilePathLocked();
}

bool device_filecontrol::ReadForbidDeviceInfoToVector(std::vector<stDevice>* pVecDevice) {
  if (pVecDevice == nullptr) {
    DIAG_LOG(LOG_ERROR, "no device list");
    return false;
  }
  pVecDevice->clear();
  std::lock_guard<std::mutex> lock(m_mtxFile);
  const std::string& path = FilePathLocked();

  // File_GetSize answers all bits set for a missing file or a directory: read
  // as a signed size, that is below 1 like an empty file.
  if (static_cast<int64_t>(File_GetSize(path.c_str())) < 1) {
    DIAG_LOG(LOG_ERROR, "strDeviceInfoFilePath = %s not find!", path.c_str());
    return false;
  }
  std::string strTemp;
  {
    StreamCloser file(_fsopen(path.c_str(), "r", _SH_DENYNO));
    if (file.m_pFile == nullptr) {
      DIAG_LOG(LOG_ERROR, "Open File %s Fail!", path.c_str());
      return false;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), file.m_pFile)) > 0) strTemp.append(chunk, got);
  }
  DIAG_LOG(LOG_INFO, "strTemp = %s", strTemp.c_str());

  rapidjson::Document doc;
  doc.Parse(strTemp.c_str(), strTemp.size());
  // Text that is not JSON, or a root that is not an array, holds no device.
  const bool bList = !doc.HasParseError() && doc.IsArray();
  const rapidjson::SizeType nCount = bList ? doc.Size() : 0;
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
  return true;
}

bool device_filecontrol::WriteForbidDeviceInfoToFile(std::vector<stDevice>* pVecDevice) {
  std::lock_guard<std::mutex> lock(m_mtxFile);
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

  StreamCloser file(_fsopen(path.c_str(), "w", _SH_DENYNO));
  if (file.m_pFile == nullptr) {
    DIAG_LOG(LOG_ERROR, "Open File %s Fail!", path.c_str());
    return true;
  }
  if (fwrite(strJson.data(), 1, strJson.size(), file.m_pFile) != strJson.size())
    DIAG_LOG(LOG_ERROR, "short write to %s", path.c_str());
  return true;
}

void device_filecontrol::DeleteForbidDeviceInfoFile() {
  std::lock_guard<std::mutex> lock(m_mtxFile);
  remove(FilePathLocked().c_str());
}
