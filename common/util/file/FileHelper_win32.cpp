#include "common/util/file/FileHelper_win32.h"

#include <cstring>
#include "common/util/DiagLog.h"
#include "common/util/ScopedHandle.h"
#include "platform/winapi.h"

namespace {

// Position of the later of the last "\" and the last "/", or npos.
size_t LastSeparator(const std::string& path) {
  size_t backslash = path.rfind('\\');
  size_t slash = path.rfind('/');
  if (backslash == std::string::npos) return slash;
  if (slash == std::string::npos) return backslash;
  return backslash > slash ? backslash : slash;
}

const uint64_t kUnknownSize = ~0ULL;

}  // namespace

std::string GetDirFromPath(const char* path) {
  if (path == nullptr) return std::string();
  std::string text(path);
  size_t separator = LastSeparator(text);
  if (separator == std::string::npos || separator == 0) return text;
  return text.substr(0, separator + 1);
}

std::string GetFileNameFromPath(const char* path) {
  if (path == nullptr) return std::string();
  std::string text(path);
  size_t separator = LastSeparator(text);
  if (separator != std::string::npos && separator != 0) text.erase(0, separator + 1);
  if (!text.empty() && text[0] == '"') text.erase(0, 1);
  size_t quote = text.find('"');
  if (quote != std::string::npos && quote != 0) text.erase(quote);
  return text;
}

uint64_t File_GetSize(const char* path) {
  if (path == nullptr) return kUnknownSize;

  WIN32_FIND_DATAA found;
  memset(&found, 0, sizeof(found));
  if (FindHandle(FindFirstFileA(path, &found)).IsValid()) {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return kUnknownSize;
    return (static_cast<uint64_t>(found.nFileSizeHigh) << 32) + found.nFileSizeLow;
  }

  if (!PathFileExistsA(path)) {
    // Taken before logging, which may itself touch the error code.
    DWORD error = GetLastError();
    DIAG_LOG(LOG_WARN, "Not exist cFileName = %s GetLastError() = %u", path, static_cast<unsigned>(error));
    return kUnknownSize;
  }

  // Something that exists but is not listed by a search, such as a drive
  // root: ask the file system for its end position.
  KernelHandle file(CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return kUnknownSize;
  LONG high = 0;
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(file.Get(), 0, &high, FILE_END);
  // INVALID_SET_FILE_POINTER is also a valid low part; only the error code
  // tells a failure apart.
  bool failed = low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR;
  file.Reset();
  if (failed) return kUnknownSize;
  uint64_t size = (static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) + low;
  DIAG_LOG(LOG_INFO, "FileSize=%llu ", static_cast<unsigned long long>(size));
  return size;
}
