// Files over the host file system, with Windows paths translated (C: is the
// sandbox, Z: is "/"). Share modes are accepted but not enforced.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "machine.h"

using namespace winsim::internal;

namespace {

struct FileObject : KernelObject {
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  ~FileObject() override {
    if (fd >= 0) close(fd);
  }
};

struct FindObject : KernelObject {
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
  bool ClosableByCloseHandle() const override { return false; }
};

FILETIME ToFileTime(const timespec& ts) {
  uint64_t v =
      (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

DWORD Attributes(const struct stat& st, const std::string& name) {
  DWORD attrs = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & S_IWUSR)) attrs |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") attrs |= FILE_ATTRIBUTE_HIDDEN;
  return attrs;
}

// Translates an ANSI path; on failure sets the last error.
bool HostOf(LPCSTR path, std::string* host) {
  if (!path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!*path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  DWORD error = 0;
  if (!TranslatePath(AnsiToUtf8(path), host, &error)) {
    SetLastError(error);
    return false;
  }
  return true;
}

bool Fail(const std::string& host) {
  SetLastError(ErrnoToWin32(errno, host));
  return false;
}

// The attributes of a path (following links), INVALID_FILE_ATTRIBUTES with
// the error set when there is nothing there.
DWORD AttributesOf(LPCSTR path) {
  std::string host;
  if (!HostOf(path, &host)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) {
    Fail(host);
    return INVALID_FILE_ATTRIBUTES;
  }
  return Attributes(st, host.substr(host.find_last_of('/') + 1));
}

// Deletes a file, or an empty directory when `directory` is set; the other
// kind is refused as Windows refuses it.
BOOL RemovePath(LPCSTR path, bool directory) {
  std::string host;
  if (!HostOf(path, &host)) return FALSE;
  struct stat st;
  if (lstat(host.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) != 0) != directory) {
    SetLastError(directory ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if ((directory ? rmdir(host.c_str()) : unlink(host.c_str())) != 0) return Fail(host);
  return TRUE;
}

// DOS wildcards, case-insensitive: "*" any run, "?" one character.
bool WildMatch(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    for (const char* p = name;; ++p) {
      if (WildMatch(pattern + 1, p)) return true;
      if (*p == '\0') return false;
    }
  }
  if (*name == '\0') return false;
  if (*pattern != '?' && tolower(static_cast<unsigned char>(*pattern)) != tolower(static_cast<unsigned char>(*name)))
    return false;
  return WildMatch(pattern + 1, name + 1);
}

HANDLE OpenFile(const std::string& name, DWORD access, DWORD disposition, DWORD flags) {
  std::string host;
  DWORD error = 0;
  if (name.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!TranslatePath(name, &host, &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const bool read = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  const bool write = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  struct stat st;
  const bool existed = stat(host.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    // Directories open only with backup semantics, and never for data.
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || disposition == CREATE_NEW || disposition == CREATE_ALWAYS ||
        disposition == TRUNCATE_EXISTING || write) {
      SetLastError(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    auto dir = std::make_shared<FileObject>();
    dir->fd = open(host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir->fd < 0 && (dir->fd = open(host.c_str(), O_PATH | O_CLOEXEC)) < 0) {
      Fail(host);
      return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(dir);
  }
  int oflags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  switch (disposition) {
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: oflags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      oflags |= O_TRUNC;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  if (disposition == CREATE_NEW && existed) {
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  // Truncation needs write access on the host; Windows' CREATE_ALWAYS with
  // read-only access still empties the file.
  if ((oflags & O_TRUNC) && !write) oflags = (oflags & ~O_ACCMODE) | O_RDWR;
  auto file = std::make_shared<FileObject>();
  file->fd = open(host.c_str(), oflags, 0666);
  if (file->fd < 0 && !read && !write && errno == EACCES) file->fd = open(host.c_str(), O_PATH | O_CLOEXEC);
  if (file->fd < 0) {
    if (errno == EEXIST)
      SetLastError(ERROR_FILE_EXISTS);
    else
      Fail(host);
    return INVALID_HANDLE_VALUE;
  }
  file->canRead = read;
  file->canWrite = write;
  // Opening an existing file with CREATE_ALWAYS or OPEN_ALWAYS succeeds and says so.
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                       : ERROR_SUCCESS);
  return AddHandle(file);
}

// Forces a file, or a folder's entries, to the disk.
void SyncPath(const std::string& host) {
  int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool MovePath(LPCSTR from, LPCSTR to, bool replace, bool writeThrough = false) {
  std::string src, dst;
  if (!HostOf(from, &src) || !HostOf(to, &dst)) return false;
  struct stat st, dstStat;
  if (lstat(src.c_str(), &st) != 0) return Fail(src);
  if (lstat(dst.c_str(), &dstStat) == 0) {
    if (!replace) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return false;
    }
    if (S_ISDIR(dstStat.st_mode) || S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
  }
  if (::renameat(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str()) != 0) return Fail(dst);
  if (writeThrough) {
    // Returns only once the move is on the disk: the file and the folder
    // entry that now names it.
    SyncPath(dst);
    size_t slash = dst.find_last_of('/');
    SyncPath(slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : dst.substr(0, slash));
  }
  return true;
}

// The open file ReadFile or WriteFile works on: null, with the error set, for
// a bad handle, overlapped I/O (not modelled) or a handle not opened for it.
std::shared_ptr<FileObject> FileForTransfer(HANDLE handle, LPVOID overlapped, bool write) {
  auto file = HandleOrFail<FileObject>(handle);
  if (!file) return nullptr;
  if (overlapped) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  if (!(write ? file->canWrite : file->canRead)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return file;
}

// ReadFile and WriteFile after their fault points: all `size` bytes, or up
// to the end of the file when reading. A write that fails part-way reports
// what it wrote.
BOOL Transfer(HANDLE handle, char* at, DWORD size, LPDWORD transferred, LPVOID overlapped, bool writing) {
  if (transferred) *transferred = 0;
  auto file = FileForTransfer(handle, overlapped, writing);
  if (!file) return FALSE;
  DWORD done = 0;
  while (done < size) {
    ssize_t n = writing ? write(file->fd, at + done, size - done) : read(file->fd, at + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (writing && transferred) *transferred = done;
      SetLastError(ErrnoToWin32(errno, std::string()));
      return FALSE;
    }
    if (n == 0) break;  // end of file: a read succeeds with fewer bytes
    done += static_cast<DWORD>(n);
  }
  if (transferred) *transferred = done;
  return TRUE;
}

}  // namespace

namespace {
std::string NameToUtf8(const char* name) { return AnsiToUtf8(name); }
std::string NameToUtf8(const WCHAR* name) { return Utf16ToUtf8(name); }

// CreateFileA and CreateFileW after their fault points.
template <class Char>
HANDLE CreateFileOf(const Char* name, DWORD access, DWORD disposition, DWORD flags) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return OpenFile(NameToUtf8(name), access, disposition, flags);
}
}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
  WINSIM_FAIL_POINT(INVALID_HANDLE_VALUE);
  return CreateFileOf(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
  WINSIM_FAIL_POINT(INVALID_HANDLE_VALUE);
  return CreateFileOf(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPVOID lpOverlapped) {
  WINSIM_FAIL_POINT(FALSE);
  return Transfer(hFile, static_cast<char*>(lpBuffer), nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped, false);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPVOID lpOverlapped) {
  WINSIM_FAIL_POINT(FALSE);
  // Only read from: Transfer writes into the buffer when reading alone.
  char* from = static_cast<char*>(const_cast<void*>(lpBuffer));
  return Transfer(hFile, from, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped, true);
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  WINSIM_FAIL_POINT(INVALID_SET_FILE_POINTER);
  auto file = HandleOrFail<FileObject>(hFile);
  if (!file) return INVALID_SET_FILE_POINTER;
  int64_t distance =
      lpDistanceToMoveHigh
          ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                 static_cast<uint32_t>(lDistanceToMove))
          : static_cast<int64_t>(lDistanceToMove);
  int64_t base = 0;
  struct stat st;
  switch (dwMoveMethod) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: base = lseek(file->fd, 0, SEEK_CUR); break;
    case FILE_END:
      if (fstat(file->fd, &st) != 0) {
        SetLastError(ErrnoToWin32(errno, std::string()));
        return INVALID_SET_FILE_POINTER;
      }
      base = st.st_size;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
  }
  if (base < 0) {
    // A handle with no position (a directory opened for attributes) has none to move.
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t target = base + distance;
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (!lpDistanceToMoveHigh && target > 0xFFFFFFFELL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(file->fd, target, SEEK_SET) < 0) {
    SetLastError(errno == EBADF ? ERROR_INVALID_FUNCTION : ErrnoToWin32(errno, std::string()));
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(target >> 32);
  DWORD low = static_cast<DWORD>(target);
  // A low part of all ones is a valid position: the caller tells it apart by the error.
  if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
  return low;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  WINSIM_FAIL_POINT(INVALID_FILE_SIZE);
  auto file = HandleOrFail<FileObject>(hFile);
  if (!file) return INVALID_FILE_SIZE;
  struct stat st;
  if (fstat(file->fd, &st) != 0) {
    SetLastError(ErrnoToWin32(errno, std::string()));
    return INVALID_FILE_SIZE;
  }
  uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  if (static_cast<DWORD>(size) == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
  WINSIM_FAIL_POINT(INVALID_HANDLE_VALUE);
  if (!lpFileName || !lpFindFileData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path = AnsiToUtf8(lpFileName);
  // The last component is the pattern; a path ending in a separator (a drive
  // root "C:\" too) names no entry and finds nothing.
  size_t cut = path.find_last_of("\\/");
  size_t patternStart =
      cut == std::string::npos ? (IsWindowsPath(path) && path.size() >= 2 && path[1] == ':' ? 2 : 0) : cut + 1;
  std::string pattern = path.substr(patternStart);
  std::string folder = path.substr(0, patternStart);
  if (pattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::string hostFolder;
  DWORD error = 0;
  if (folder.empty())
    hostFolder = ".";
  else if (!TranslatePath(folder, &hostFolder, &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (hostFolder.empty()) hostFolder = ".";
  if (hostFolder.size() > 1 && hostFolder.back() == '/') hostFolder.pop_back();
  DIR* dir = opendir(hostFolder.c_str());
  if (!dir) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno, hostFolder));
    return INVALID_HANDLE_VALUE;
  }
  // Drive roots list no "." and ".." entries.
  const bool driveRoot =
      folder.size() >= 2 && folder[1] == ':' && folder.find_first_not_of("\\/", 2) == std::string::npos;
  if (pattern == "*.*") pattern = "*";
  auto find = std::make_shared<FindObject>();
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (driveRoot && (name == "." || name == "..")) continue;
    if (!WildMatch(pattern.c_str(), name.c_str())) continue;
    std::string full = (hostFolder == "/" ? "" : hostFolder) + "/" + name;
    struct stat st;
    if (stat(full.c_str(), &st) != 0 && lstat(full.c_str(), &st) != 0) continue;
    WIN32_FIND_DATAA data;
    memset(&data, 0, sizeof(data));
    data.dwFileAttributes = Attributes(st, name);
    data.ftCreationTime = ToFileTime(st.st_ctim);
    data.ftLastAccessTime = ToFileTime(st.st_atim);
    data.ftLastWriteTime = ToFileTime(st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    std::string ansi = Utf8ToAnsi(name);
    strncpy(data.cFileName, ansi.c_str(), MAX_PATH - 1);
    find->entries.push_back(data);
  }
  closedir(dir);
  if (find->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::sort(find->entries.begin(), find->entries.end(), [](const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b) {
    return strcasecmp(a.cFileName, b.cFileName) < 0;
  });
  *lpFindFileData = find->entries[0];
  find->next = 1;
  SetLastError(ERROR_SUCCESS);
  return AddHandle(find);
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  WINSIM_FAIL_POINT(FALSE);
  auto find = HandleOrFail<FindObject>(hFindFile);
  if (!find) return FALSE;
  if (find->next >= find->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *lpFindFileData = find->entries[find->next++];
  return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
  WINSIM_FAIL_POINT(FALSE);
  if (!HandleOrFail<FindObject>(hFindFile)) return FALSE;
  RemoveHandle(hFindFile);
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
  WINSIM_FAIL_POINT(INVALID_FILE_ATTRIBUTES);
  return AttributesOf(lpFileName);
}

BOOL DeleteFileA(LPCSTR lpFileName) {
  WINSIM_FAIL_POINT(FALSE);
  return RemovePath(lpFileName, false);
}

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  WINSIM_FAIL_POINT(FALSE);
  return MovePath(lpExistingFileName, lpNewFileName, false);
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  WINSIM_FAIL_POINT(FALSE);
  if (dwFlags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    // Moves at the next restart are not modelled.
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  if (!lpNewFileName) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);  // deletion at restart
    return FALSE;
  }
  return MovePath(lpExistingFileName, lpNewFileName, (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0,
                  (dwFlags & MOVEFILE_WRITE_THROUGH) != 0);
}

BOOL FlushFileBuffers(HANDLE hFile) {
  WINSIM_FAIL_POINT(FALSE);
  auto file = HandleOrFail<FileObject>(hFile);
  if (!file) return FALSE;
  if (!file->canWrite) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (fsync(file->fd) != 0) {
    SetLastError(ErrnoToWin32(errno, std::string()));
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  WINSIM_FAIL_POINT(FALSE);
  std::string host;
  if (!HostOf(lpPathName, &host)) return FALSE;
  if (mkdir(host.c_str(), 0777) != 0) {
    if (errno == ENOENT)
      SetLastError(ERROR_PATH_NOT_FOUND);
    else
      Fail(host);
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
  WINSIM_FAIL_POINT(FALSE);
  return RemovePath(lpPathName, true);
}

BOOL PathFileExistsA(LPCSTR pszPath) {
  WINSIM_FAIL_POINT(FALSE);
  return AttributesOf(pszPath) != INVALID_FILE_ATTRIBUTES;
}

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  WINSIM_FAIL_POINT(0);
  std::string host = SandboxFolder() + "/Temp";
  mkdir(host.c_str(), 0777);
  const std::string path = "C:\\Temp\\";
  // Too small: the size needed, terminator included; otherwise the length without it.
  if (!lpBuffer || nBufferLength <= path.size()) return static_cast<DWORD>(path.size() + 1);
  memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

// ---------------------------------------------------------------- C runtime

FILE* _fsopen(const char* filename, const char* mode, int shflag) {
  WINSIM_FAIL_POINT(nullptr);
  std::string host;
  if (!filename || !mode || !HostOf(filename, &host)) {
    errno = EINVAL;
    return nullptr;
  }
  // The Microsoft C runtime's text mode and encoding suffixes mean nothing here.
  std::string hostMode;
  for (const char* p = mode; *p && *p != ','; ++p)
    if (*p != 't' && *p != 'N' && *p != 'S' && *p != 'R' && *p != 'T' && *p != 'D') hostMode += *p;
  return fopen(host.c_str(), hostMode.c_str());
}

namespace {
// Host path for the CRT's remove/rename: only paths written the Windows way
// are translated, so every other user in the process keeps POSIX behaviour.
bool CrtPath(const char* path, std::string* host) {
  if (!path) {
    errno = EINVAL;
    return false;
  }
  if (!IsWindowsPath(path)) {
    *host = path;
    return true;
  }
  DWORD error = 0;
  if (!TranslatePath(AnsiToUtf8(path), host, &error)) {
    errno = ENOENT;
    return false;
  }
  return true;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int remove(const char* path) noexcept {
  DWORD fault = 0;
  if (g_faultsArmed.load(std::memory_order_relaxed) && TakeFault("remove", &fault)) {
    SetLastError(fault);
    errno = EACCES;
    return -1;
  }
  std::string host;
  if (!CrtPath(path, &host)) return -1;
  if (unlink(host.c_str()) == 0) return 0;
  if (errno == EISDIR || errno == EPERM) {
    struct stat st;
    if (lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (IsWindowsPath(path)) {
        errno = EACCES;  // the Windows C runtime removes files only
        return -1;
      }
      return rmdir(host.c_str());
    }
  }
  return -1;
}

extern "C" __attribute__((visibility("default"))) int rename(const char* oldpath, const char* newpath) noexcept {
  DWORD fault = 0;
  if (g_faultsArmed.load(std::memory_order_relaxed) && TakeFault("rename", &fault)) {
    SetLastError(fault);
    errno = EACCES;
    return -1;
  }
  std::string from, to;
  if (!CrtPath(oldpath, &from) || !CrtPath(newpath, &to)) return -1;
  if (IsWindowsPath(oldpath) || IsWindowsPath(newpath)) {
    // The Windows C runtime does not replace an existing target.
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) {
      errno = EEXIST;
      return -1;
    }
  }
  return renameat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
}
