// vaultlog.dll: the agent's audit log. Each record handed to Log_Write becomes
// one line of audit\audit.jsonl under the agent's installation folder; a file
// registered with Log_File is copied to audit\files\<identifier> and listed in
// audit\files\index.jsonl. Files larger than "maxFileBytes" of
// config\vaultlog.json (default 10 MiB) are refused with 0x10F.
#include <mutex>
#include <string>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include "agent/vaultcommon/AgentCodes.h"
#include "agent/vaultcommon/AgentFiles.h"
#include "common/util/HostIdentity.h"
#include "common/util/MemBuffer.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"
#include "common/helper/LogOpt/VaultLogApi.h"

#define VAULTLOG_RET_FILE_TOO_LARGE 0x10FULL

namespace {

const char* const kAuditFile = "audit\\audit.jsonl";
const char* const kFilesDir = "audit\\files\\";
const char* const kSettingsFile = "config\\vaultlog.json";
const uint64_t kDefaultMaxFileBytes = 10ull << 20;
// A record is one compact JSON object; anything near this size is a caller's
// mistake, not an audit record.
const uint64_t kMaxRecordBytes = 64ull << 20;

// Appends of several threads must not interleave inside a line.
std::mutex g_writeMutex;

uint64_t MaxFileBytes() {
  std::string text, error;
  std::string path = vaultfiles::DataPath(kSettingsFile);
  if (!vaultfiles::ReadWholeFile(path, 1 << 20, &text, &error)) return kDefaultMaxFileBytes;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseCommentsFlag>(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    vaultfiles::Complain("vaultlog", path + " is not a JSON object; using the default size limit");
    return kDefaultMaxFileBytes;
  }
  auto it = doc.FindMember("maxFileBytes");
  if (it == doc.MemberEnd()) return kDefaultMaxFileBytes;
  if (!it->value.IsUint64()) {
    vaultfiles::Complain("vaultlog", path + ": \"maxFileBytes\" must be a byte count; using the default");
    return kDefaultMaxFileBytes;
  }
  return it->value.GetUint64();
}

}  // namespace

// Appends the record as one line. Raw line breaks (never part of a compact
// JSON record) become blanks so that one line stays one record.
DM_EXPORT eRet Log_Write(const char* pRecord, ULONGLONG ullLength) {
  try {
    if ((!pRecord && ullLength > 0) || ullLength > kMaxRecordBytes) return VAULT_RET_BAD_ARGUMENT;
    std::string line(pRecord ? pRecord : "", static_cast<size_t>(ullLength));
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    std::lock_guard<std::mutex> lock(g_writeMutex);
    return vaultfiles::AppendLine(vaultfiles::DataPath(kAuditFile), line) ? RET_SUCCESS : VAULT_RET_WRITE_FAILED;
  } catch (...) {
    return VAULT_RET_FAILURE;
  }
}

// Registers a file: 0 with its identifier in *pFileId, 0x10F when it is larger
// than the configured limit, another code when it cannot be kept.
DM_EXPORT eRet Log_File(const char* pPath, CMemBuffer* pFileId, DWORD dwMode) {
  try {
    if (!pPath || !pFileId) return VAULT_RET_BAD_ARGUMENT;
    vaultfiles::FileStamp stamp;
    if (!vaultfiles::StatFile(pPath, &stamp)) return VAULT_RET_NO_FILE;
    if (stamp.size > MaxFileBytes()) return VAULTLOG_RET_FILE_TOO_LARGE;

    std::string id = CreateGuidString();
    std::string dir = vaultfiles::DataPath(kFilesDir);
    std::lock_guard<std::mutex> lock(g_writeMutex);
    if (!vaultfiles::EnsureDir(dir) || !vaultfiles::CopyWholeFile(pPath, dir + id)) return VAULT_RET_WRITE_FAILED;

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("fileId");
    writer.String(id.c_str());
    writer.Key("path");
    writer.String(pPath);
    writer.Key("size");
    writer.Uint64(stamp.size);
    writer.Key("mode");
    writer.Uint(dwMode);
    writer.EndObject();
    if (!vaultfiles::AppendLine(dir + "index.jsonl", std::string(buffer.GetString(), buffer.GetSize())))
      return VAULT_RET_WRITE_FAILED;
    pFileId->SetString(id);
    return RET_SUCCESS;
  } catch (...) {
    return VAULT_RET_FAILURE;
  }
}

// Resolved by the module's loader but never called.
DM_EXPORT eRet Log_File_Start() { return VAULT_RET_NOT_SUPPORTED; }
DM_EXPORT eRet Log_File_Write() { return VAULT_RET_NOT_SUPPORTED; }
DM_EXPORT eRet Log_File_End() { return VAULT_RET_NOT_SUPPORTED; }

// The module calls through these exact types.
VAULT_SAME_SIGNATURE(Log_Write);
VAULT_SAME_SIGNATURE(Log_File);
