// vaultbase.dll: the logged-on user's session id and the agent's shared
// content (numeric settings, the session user record, client GUID, server
// address), read from config\agent.json under the installation folder and
// re-read when that file changes. See README.md for the file format.
//
// Content handed out stays valid for the life of the process: settings are
// atomic words the module reads without a lock, and texts are rewritten in
// place (and only when they actually change), never freed.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "common/helper/VaultBase/VaultBaseApi.h"
#include "common/util/HostIdentity.h"
#include "platform/winapi.h"

namespace {

// Result codes of this library (0 is success).
constexpr eRet kErrInvalidArgument = 0x57;  // null out pointer
constexpr eRet kErrNoContent = 0x490;       // no content of that kind and index
constexpr eRet kErrNotSupported = 0x32;     // entry point without behaviour here

constexpr DWORD kSettingCount = 256;
constexpr DWORD kDefaultSessionId = 1;
constexpr ULONGLONG kCheckIntervalMs = 1000;
constexpr DWORD kMaxFileSize = 1024 * 1024;

std::atomic<uint32_t> g_settings[kSettingCount];
std::atomic<DWORD> g_sessionId{kDefaultSessionId};
// Session user record: the session id in its first four bytes, the SID text
// from byte SESSION_USER_SID_OFFSET.
char g_sessionUser[SESSION_USER_SID_OFFSET + 184];
char g_clientGuid[128];
char g_serverAddress[256];

std::once_flag g_firstLoad;
std::mutex g_reloadLock;
std::atomic<ULONGLONG> g_lastCheck{0};

struct FileStamp {
  bool exists = false;
  ULONGLONG size = 0;
  ULONGLONG writeTime = 0;
  bool operator==(const FileStamp& o) const { return exists == o.exists && size == o.size && writeTime == o.writeTime; }
};
FileStamp g_stamp;  // under g_reloadLock

std::string ConfigPath() { return GetInstallDir() + "config\\agent.json"; }

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return stamp;
  FindClose(find);
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return stamp;
  stamp.exists = true;
  stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp.writeTime =
      (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
  return stamp;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD high = 0;
  DWORD size = GetFileSize(file, &high);
  bool ok = size != INVALID_FILE_SIZE && high == 0 && size <= kMaxFileSize;
  if (ok) {
    text.assign(size, '\0');
    DWORD read = 0;
    ok = size == 0 || (ReadFile(file, &text[0], size, &read, nullptr) && read == size);
  }
  CloseHandle(file);
  return ok;
}

// Rewrites a text block in place; the block is only touched when the text
// differs, so readers of an unchanged text never see a write.
void StoreText(char* block, size_t capacity, const std::string& text) {
  size_t length = text.size() < capacity - 1 ? text.size() : capacity - 1;
  if (strlen(block) == length && memcmp(block, text.data(), length) == 0) return;
  memcpy(block, text.data(), length);
  memset(block + length, 0, capacity - length);
}

struct AgentConfig {
  DWORD sessionId = kDefaultSessionId;
  std::string userSid, clientGuid, serverAddress;
  std::vector<uint32_t> settings = std::vector<uint32_t>(kSettingCount, 0);
};

void Apply(const AgentConfig& config) {
  g_sessionId.store(config.sessionId, std::memory_order_relaxed);
  DWORD recordedSession = 0;
  memcpy(&recordedSession, g_sessionUser, sizeof(recordedSession));
  if (recordedSession != config.sessionId) memcpy(g_sessionUser, &config.sessionId, sizeof(config.sessionId));
  StoreText(g_sessionUser + SESSION_USER_SID_OFFSET, sizeof(g_sessionUser) - SESSION_USER_SID_OFFSET, config.userSid);
  StoreText(g_clientGuid, sizeof(g_clientGuid), config.clientGuid);
  StoreText(g_serverAddress, sizeof(g_serverAddress), config.serverAddress);
  for (DWORD i = 0; i < kSettingCount; ++i) g_settings[i].store(config.settings[i], std::memory_order_relaxed);
}

void Complain(const std::string& path, const std::string& what) {
  fprintf(stderr, "vaultbase: %s: %s\n", path.c_str(), what.c_str());
  fflush(stderr);
}

// Fills `config` from the JSON text. A malformed document is refused as a
// whole (the previous values stay); a field of the wrong type is skipped.
bool Parse(const std::string& path, const std::string& text, AgentConfig& config) {
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    Complain(path, doc.HasParseError()
                       ? std::string("not valid JSON at offset ") + std::to_string(doc.GetErrorOffset()) + ": " +
                             rapidjson::GetParseError_En(doc.GetParseError()) + "; keeping the previous content"
                       : "not a JSON object; keeping the previous content");
    return false;
  }
  auto text_of = [&](const char* key, std::string& out) {
    auto it = doc.FindMember(key);
    if (it == doc.MemberEnd()) return;
    if (it->value.IsString())
      out.assign(it->value.GetString(), it->value.GetStringLength());
    else
      Complain(path, std::string("\"") + key + "\" is not a string; ignored");
  };
  auto session = doc.FindMember("sessionId");
  if (session != doc.MemberEnd()) {
    if (session->value.IsUint())
      config.sessionId = session->value.GetUint();
    else
      Complain(path, "\"sessionId\" is not an unsigned 32-bit number; ignored");
  }
  text_of("userSid", config.userSid);
  text_of("clientGuid", config.clientGuid);
  text_of("serverAddress", config.serverAddress);
  auto settings = doc.FindMember("settings");
  if (settings != doc.MemberEnd()) {
    if (!settings->value.IsObject()) {
      Complain(path, "\"settings\" is not an object; ignored");
      return true;
    }
    // Member iterators rather than GetObject(), which <windows.h> renames.
    for (auto item = settings->value.MemberBegin(); item != settings->value.MemberEnd(); ++item) {
      std::string key(item->name.GetString(), item->name.GetStringLength());
      char* end = nullptr;
      unsigned long index = strtoul(key.c_str(), &end, 10);
      if (key.empty() || *end != '\0' || index >= kSettingCount || !item->value.IsUint()) {
        Complain(path, "setting \"" + key + "\" needs an index below 256 and an unsigned 32-bit value; ignored");
        continue;
      }
      config.settings[index] = item->value.GetUint();
    }
  }
  return true;
}

// True while a file written at `writeTime` may still change without its
// stamp moving: some file systems keep write times in whole seconds.
bool RecentlyWritten(ULONGLONG writeTime) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG nowTime = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return nowTime < writeTime + 2 * 10000000ULL;
}

std::string g_lastText;  // under g_reloadLock; the content last parsed

void ReloadLocked(bool force) {
  std::string path = ConfigPath();
  FileStamp stamp = StampOf(path);
  if (!force && stamp == g_stamp && !(stamp.exists && RecentlyWritten(stamp.writeTime))) return;
  g_stamp = stamp;
  AgentConfig config;
  if (stamp.exists) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
      Complain(path, "cannot be read (error " + std::to_string(GetLastError()) + "); keeping the previous content");
      g_stamp = FileStamp();  // try again at the next check
      return;
    }
    if (!force && text == g_lastText) return;
    g_lastText = text;
    if (!Parse(path, text, config)) return;
  } else {
    g_lastText.clear();
  }
  Apply(config);
}

// Called by every entry point: the first call loads the file, later calls
// look at its size and write time at most once a second.
void Refresh() {
  std::call_once(g_firstLoad, [] {
    std::lock_guard<std::mutex> lock(g_reloadLock);
    g_lastCheck.store(GetTickCount64(), std::memory_order_relaxed);
    ReloadLocked(true);
  });
  ULONGLONG now = GetTickCount64();
  if (now - g_lastCheck.load(std::memory_order_relaxed) < kCheckIntervalMs) return;
  std::unique_lock<std::mutex> lock(g_reloadLock, std::try_to_lock);
  if (!lock.owns_lock()) return;  // another thread is checking; answer from the current content
  if (now - g_lastCheck.load(std::memory_order_relaxed) < kCheckIntervalMs) return;
  g_lastCheck.store(now, std::memory_order_relaxed);
  ReloadLocked(false);
}

}  // namespace

DM_EXPORT DWORD GetLocalUserSessionId() {
  try {
    Refresh();
  } catch (...) {}
  return g_sessionId.load(std::memory_order_relaxed);
}

DM_EXPORT eRet Mem_GetContent(DWORD dwKind, DWORD dwIndex, void** ppContent) {
  if (ppContent == nullptr) return kErrInvalidArgument;
  try {
    Refresh();
  } catch (...) {}
  switch (dwKind) {
    case MEM_CONTENT_CONFIG_VALUE:
      if (dwIndex >= kSettingCount) return kErrNoContent;
      *ppContent = &g_settings[dwIndex];
      return RET_SUCCESS;
    case MEM_CONTENT_SESSION_USER:
      if (dwIndex != g_sessionId.load(std::memory_order_relaxed)) return kErrNoContent;
      *ppContent = g_sessionUser;
      return RET_SUCCESS;
    case MEM_CONTENT_CLIENT_GUID:
      if (dwIndex != 1) return kErrNoContent;
      *ppContent = g_clientGuid;
      return RET_SUCCESS;
    case MEM_CONTENT_SERVER_IP:
      if (dwIndex != 1) return kErrNoContent;
      *ppContent = g_serverAddress;
      return RET_SUCCESS;
    default: return kErrNoContent;
  }
}

static_assert(std::is_same<decltype(&GetLocalUserSessionId), PFN_GetLocalUserSessionId>::value, "signature");
static_assert(std::is_same<decltype(&Mem_GetContent), PFN_Mem_GetContent>::value, "signature");
static_assert(sizeof(std::atomic<uint32_t>) == 4, "settings are plain 32-bit words to their readers");

// Entry points of the full library that the module resolves but never calls.
#define VAULTBASE_UNSUPPORTED(name) \
  DM_EXPORT eRet name() { return kErrNotSupported; }
VAULTBASE_UNSUPPORTED(LocalRealtimeOpt)
VAULTBASE_UNSUPPORTED(LocalRealtimeOptEx)
VAULTBASE_UNSUPPORTED(Mem_Init_All)
VAULTBASE_UNSUPPORTED(Mem_Get_ResOptAccess)
VAULTBASE_UNSUPPORTED(Mem_Release_ResOptAccess)
VAULTBASE_UNSUPPORTED(DriverOptHelper)
VAULTBASE_UNSUPPORTED(DeviceIoControlHelper)
VAULTBASE_UNSUPPORTED(HttpRequest)
VAULTBASE_UNSUPPORTED(HttpFileDownload)
VAULTBASE_UNSUPPORTED(HttpFileUpload)
VAULTBASE_UNSUPPORTED(Config_SetString_Remote)
VAULTBASE_UNSUPPORTED(MakeFakeCert)
VAULTBASE_UNSUPPORTED(FreeFakeCert)
VAULTBASE_UNSUPPORTED(ImportCert)
VAULTBASE_UNSUPPORTED(P2PFileDownload)
