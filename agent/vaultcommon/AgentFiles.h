// Files of the reference companion libraries. Each library keeps its data
// under the agent's installation folder (config\, audit\, notify\), reached
// through the Win32 file API so the simulated machine maps it like Windows.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include "platform/winapi.h"

namespace vaultfiles {

// GetInstallDir() + relative ("config\\policy.json").
std::string DataPath(const char* relative);

// Size and last write time of a file; false when it does not exist or is a
// folder.
struct FileStamp {
  uint64_t size = 0;
  uint64_t writeTime = 0;
  bool operator==(const FileStamp& o) const { return size == o.size && writeTime == o.writeTime; }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};
bool StatFile(const std::string& path, FileStamp* stamp);

// Whole file into `text`. Files larger than `maxBytes` are refused (false,
// `error` says why) rather than read.
bool ReadWholeFile(const std::string& path, uint64_t maxBytes, std::string* text, std::string* error);

// Creates every missing folder of `dir` (a path ending with a separator or
// naming the folder itself). True when the folder exists afterwards.
bool EnsureDir(const std::string& dir);

// Appends `line` plus "\n" to the file, creating its folder and the file.
// Writers of one process are serialised by the caller.
bool AppendLine(const std::string& path, const std::string& line);

// Copies a file in chunks; false (and no partial target) on failure.
bool CopyWholeFile(const std::string& from, const std::string& to);

// Milliseconds of a monotonic clock (GetTickCount64).
uint64_t NowMs();

// Prints one line "<library>: <text>" to standard error.
void Complain(const char* library, const std::string& text);

// Watches one file: Poll() tells whether its content may have changed since
// the last time it answered true (size or write time moved, appeared, or
// vanished). A watcher that never answered starts as "changed". Because some
// file systems keep write times in whole seconds, a file that still looks the
// same is also reported once more when `recheckMs` have passed since the last
// report; readers compare contents and ignore an unchanged file.
class FileWatch {
 public:
  explicit FileWatch(uint64_t recheckMs = 2000) : m_recheckMs(recheckMs) {}
  bool Poll(const std::string& path, bool* exists);

 private:
  uint64_t m_recheckMs;
  bool m_bInitial = true;
  bool m_bExisted = false;
  FileStamp m_stamp;
  uint64_t m_lastReportMs = 0;
};

}  // namespace vaultfiles
