#include "agent/vaultcommon/AgentFiles.h"

#include <cstdio>
#include <vector>
#include "common/util/HostIdentity.h"

namespace vaultfiles {

std::string DataPath(const char* relative) { return GetInstallDir() + relative; }

bool StatFile(const std::string& path, FileStamp* stamp) {
  WIN32_FIND_DATAA data = {};
  HANDLE find = FindFirstFileA(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  stamp->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp->writeTime =
      (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
  return true;
}

namespace {
// Closes a CRT stream on every path.
struct FileCloser {
  FILE* file;
  ~FileCloser() {
    if (file) fclose(file);
  }
};
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
}  // namespace

bool ReadWholeFile(const std::string& path, uint64_t maxBytes, std::string* text, std::string* error) {
  FileStamp stamp;
  if (!StatFile(path, &stamp)) {
    *error = "not found";
    return false;
  }
  if (stamp.size > maxBytes) {
    *error = "larger than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  FileCloser in{_fsopen(path.c_str(), "rb", _SH_DENYNO)};
  if (!in.file) {
    *error = "cannot be opened";
    return false;
  }
  std::string content;
  std::vector<char> chunk(65536);
  for (;;) {
    size_t got = fread(chunk.data(), 1, chunk.size(), in.file);
    content.append(chunk.data(), got);
    if (content.size() > maxBytes) {
      *error = "larger than " + std::to_string(maxBytes) + " bytes";
      return false;
    }
    if (got < chunk.size()) break;
  }
  if (ferror(in.file)) {
    *error = "read error";
    return false;
  }
  text->swap(content);
  return true;
}

bool EnsureDir(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && !IsSeparator(dir[i])) continue;
    std::string prefix = dir.substr(0, i);
    // Drive names and a leading separator are roots, never created.
    if (prefix.empty() || prefix.back() == ':' || IsSeparator(prefix.back())) continue;
    CreateDirectoryA(prefix.c_str(), nullptr);  // an existing folder is fine
  }
  std::string probe = dir;
  while (probe.size() > 1 && IsSeparator(probe.back())) probe.pop_back();
  DWORD attributes = GetFileAttributesA(probe.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool AppendLine(const std::string& path, const std::string& line) {
  size_t cut = path.find_last_of("\\/");
  if (cut != std::string::npos && !EnsureDir(path.substr(0, cut + 1))) return false;
  FileCloser out{_fsopen(path.c_str(), "ab", _SH_DENYNO)};
  if (!out.file) return false;
  // One write of the whole line, so that a reader never meets half a record.
  const std::string whole = line + '\n';
  bool ok = fwrite(whole.data(), 1, whole.size(), out.file) == whole.size();
  ok = fflush(out.file) == 0 && ok;
  return ok;
}

bool CopyWholeFile(const std::string& from, const std::string& to) {
  bool ok = true;
  {
    FileCloser in{_fsopen(from.c_str(), "rb", _SH_DENYNO)};
    if (!in.file) return false;
    FileCloser out{_fsopen(to.c_str(), "wb", _SH_DENYNO)};
    if (!out.file) return false;
    std::vector<char> chunk(65536);
    for (;;) {
      size_t got = fread(chunk.data(), 1, chunk.size(), in.file);
      if (got > 0 && fwrite(chunk.data(), 1, got, out.file) != got) {
        ok = false;
        break;
      }
      if (got < chunk.size()) break;
    }
    if (ferror(in.file) || fflush(out.file) != 0) ok = false;
  }
  if (!ok) DeleteFileA(to.c_str());
  return ok;
}

uint64_t NowMs() { return GetTickCount64(); }

void Complain(const char* library, const std::string& text) {
  fprintf(stderr, "%s: %s\n", library, text.c_str());
  fflush(stderr);
}

bool FileWatch::Poll(const std::string& path, bool* exists) {
  FileStamp stamp;
  bool present = StatFile(path, &stamp);
  *exists = present;
  uint64_t now = NowMs();
  bool changed = m_bInitial || present != m_bExisted || (present && stamp != m_stamp) ||
                 (present && now - m_lastReportMs >= m_recheckMs);
  if (changed) {
    m_bInitial = false;
    m_bExisted = present;
    m_stamp = stamp;
    m_lastReportMs = now;
  }
  return changed;
}

}  // namespace vaultfiles
