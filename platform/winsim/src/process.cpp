// Process and thread identity, the command line, time, and modules (dlopen).
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <list>
#include <mutex>
#include <sstream>
#include <thread>

#include "clock.h"
#include "machine.h"

using namespace winsim::internal;

namespace {

// ---------------------------------------------------------------- time

// The current time, in UTC or local time, as a SYSTEMTIME.
void NowAsSystemTime(bool local, LPSYSTEMTIME out) {
  int64_t ns = WallClockNs();
  time_t seconds = static_cast<time_t>(ns / 1000000000);
  tm t;
  if (local)
    localtime_r(&seconds, &t);
  else
    gmtime_r(&seconds, &t);
  out->wYear = static_cast<WORD>(t.tm_year + 1900);
  out->wMonth = static_cast<WORD>(t.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  out->wDay = static_cast<WORD>(t.tm_mday);
  out->wHour = static_cast<WORD>(t.tm_hour);
  out->wMinute = static_cast<WORD>(t.tm_min);
  out->wSecond = static_cast<WORD>(t.tm_sec < 60 ? t.tm_sec : 59);
  out->wMilliseconds = static_cast<WORD>((ns / 1000000) % 1000);
}

// Sleepers wait on one condition of their own; nothing but the clock wakes them.
std::mutex g_sleepMutex;
ClockCondition& Sleepers() {
  static ClockCondition* sleepers = new ClockCondition;
  return *sleepers;
}

// ---------------------------------------------------------------- command line

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string RealCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string raw = ss.str();
  std::string line;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    if (!line.empty()) line += ' ';
    line += QuoteArgument(raw.substr(start, end - start));
    start = end + 1;
  }
  return line;
}

// ---------------------------------------------------------------- modules

void* ExecutableHandle() {
  static void* self = dlopen(nullptr, RTLD_NOW);
  return self;
}

link_map* FirstModule() {
  link_map* map = nullptr;
  if (dlinfo(ExecutableHandle(), RTLD_DI_LINKMAP, &map) != 0) return nullptr;
  while (map && map->l_prev) map = map->l_prev;
  return map;
}

// glibc's dlopen handles are the link_map entries of the loaded objects, so a
// handle is valid exactly when it is in the chain.
bool IsLoadedModule(HMODULE module) {
  if (!module) return false;
  if (module == reinterpret_cast<HMODULE>(ExecutableHandle())) return true;
  for (link_map* map = FirstModule(); map; map = map->l_next)
    if (reinterpret_cast<HMODULE>(map) == module) return true;
  return false;
}

std::string ExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string ModuleHostPath(HMODULE module) {
  if (!module || module == reinterpret_cast<HMODULE>(ExecutableHandle())) return ExecutablePath();
  const char* name = reinterpret_cast<link_map*>(module)->l_name;
  if (!name || !*name) return ExecutablePath();
  char resolved[PATH_MAX];
  return realpath(name, resolved) ? std::string(resolved) : std::string(name);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& hostPath) {
  struct stat st;
  return stat(hostPath.c_str(), &st) == 0;
}

}  // namespace

// ---------------------------------------------------------------- time

DWORD GetTickCount(void) { return static_cast<DWORD>(MonotonicMs()); }

ULONGLONG GetTickCount64(void) { return MonotonicMs(); }

void GetSystemTime(LPSYSTEMTIME lpSystemTime) { NowAsSystemTime(false, lpSystemTime); }

void GetLocalTime(LPSYSTEMTIME lpSystemTime) { NowAsSystemTime(true, lpSystemTime); }

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  // 100 ns intervals since 1601-01-01, the epoch of FILETIME.
  const uint64_t kEpochDelta = 11644473600ull * 10000000ull;
  uint64_t value = static_cast<uint64_t>(WallClockNs()) / 100 + kEpochDelta;
  lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(value);
  lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

void Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
  (void)bAlertable;  // no APCs are queued here: an alertable sleep runs its time
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return 0;
  }
  uint64_t deadline = DeadlineAfterMs(dwMilliseconds);
  std::unique_lock<std::mutex> lock(g_sleepMutex);
  Sleepers().WaitUntil(lock, deadline, [] { return false; });
  return 0;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  lpPerformanceCount->QuadPart = static_cast<LONGLONG>(MonotonicNs() / 100);
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  lpFrequency->QuadPart = 10000000;
  return TRUE;
}

// ---------------------------------------------------------------- process

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

DWORD GetCurrentThreadId(void) {
  thread_local DWORD tid = static_cast<DWORD>(syscall(SYS_gettid));
  return tid;
}

LPSTR GetCommandLineA(void) {
  static std::mutex lock;
  // Callers keep the pointer for the life of the process, so an earlier text
  // is never freed when an override replaces it.
  // Every text handed out is kept (a list never moves its elements) rather than
  // abandoned, so leak checkers see them as reachable.
  static std::list<std::string> texts;
  std::string override = LockMachine().machine.commandLine;
  std::string text = Utf8ToAnsi(override.empty() ? RealCommandLine() : override);
  std::lock_guard<std::mutex> guard(lock);
  if (texts.empty() || texts.back() != text) texts.push_back(text);
  return &texts.back()[0];
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  WINSIM_FAIL_POINT(0);
  if (hModule && !IsLoadedModule(hModule)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string path = Utf8ToAnsi(WindowsPathOf(ModuleHostPath(hModule)));
  if (nSize == 0 || !lpFilename) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < nSize) {
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  // Too small: truncated and terminated, the full size of the buffer returned.
  memcpy(lpFilename, path.data(), nSize - 1);
  lpFilename[nSize - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  WINSIM_FAIL_POINT(nullptr);
  if (!lpModuleName) return reinterpret_cast<HMODULE>(ExecutableHandle());
  std::string wanted = BaseName(Utf16ToUtf8(lpModuleName));
  if (wanted.find('.') == std::string::npos) wanted += ".dll";  // Windows' default extension
  for (link_map* map = FirstModule(); map; map = map->l_next) {
    if (map->l_name && strcasecmp(BaseName(map->l_name).c_str(), wanted.c_str()) == 0)
      return reinterpret_cast<HMODULE>(map);
  }
  std::string exe = BaseName(ExecutablePath());
  if (strcasecmp(exe.c_str(), wanted.c_str()) == 0) return reinterpret_cast<HMODULE>(ExecutableHandle());
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

namespace {

// winsim's own library file, where the functions of the system DLLs it
// stands in for live.
const std::string& WinsimLibraryPath() {
  static const std::string path = [] {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&LoadLibraryA), &info) || !info.dli_fname) return std::string();
    char resolved[PATH_MAX];
    return std::string(realpath(info.dli_fname, resolved) ? resolved : info.dli_fname);
  }();
  return path;
}

// The system directory: "system32" beside winsim's library. System DLLs that
// are libraries of their own (the newdev.dll stand-in) are built into it.
std::string SystemFolder() {
  const std::string& lib = WinsimLibraryPath();
  return lib.substr(0, lib.find_last_of('/') + 1) + "system32";
}

// System DLLs whose functions winsim itself exports: they are in the system
// directory of every Windows, so a search there finds them.
bool IsWinsimSystemDll(const std::string& name) {
  static const char* const kNames[] = {"kernel32.dll", "advapi32.dll", "user32.dll", "setupapi.dll",
                                       "cfgmgr32.dll", "ole32.dll",    "rpcrt4.dll", "iphlpapi.dll"};
  for (const char* known : kNames)
    if (strcasecmp(name.c_str(), known) == 0) return true;
  return false;
}

// Host path of `name` (relative, UTF-8) in the system directory, or empty.
std::string FindInSystemFolder(const std::string& name) {
  std::string host;
  DWORD error = 0;
  if (TranslatePath(WindowsPathOf(SystemFolder()) + "\\" + name, &host, &error) && Exists(host)) return host;
  if (name.find_first_of("\\/") == std::string::npos && IsWinsimSystemDll(name)) return WinsimLibraryPath();
  return std::string();
}

HMODULE OpenLibrary(const std::string& host, LPCSTR lpLibFileName) {
  void* handle = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    if (getenv("WINSIM_DEBUG")) fprintf(stderr, "winsim: LoadLibrary(%s): %s\n", lpLibFileName, why ? why : "");
    SetLastError(host.find('/') != std::string::npos && Exists(host) ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(handle);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  WINSIM_FAIL_POINT(nullptr);
  if (!lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string name = AnsiToUtf8(lpLibFileName);
  std::string host;
  DWORD error = 0;
  if (name.find_first_of("\\/") == std::string::npos && !IsWindowsPath(name)) {
    // A bare name: the executable's folder first, as Windows searches, then
    // the system directory, then the current folder, then the host's own
    // library search.
    std::string exeDir = ExecutablePath();
    exeDir = exeDir.substr(0, exeDir.find_last_of('/') + 1);
    std::string candidate;
    std::string system;
    if (TranslatePath(WindowsPathOf(exeDir) + name, &candidate, &error) && Exists(candidate))
      host = candidate;
    else if (!(system = FindInSystemFolder(name)).empty())
      host = system;
    else if (Exists(name))
      host = "./" + name;
    else
      host = name;
  } else if (!TranslatePath(name, &host, &error)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return OpenLibrary(host, lpLibFileName);
}

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  WINSIM_FAIL_POINT(nullptr);
  if (hFile != nullptr || !lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (dwFlags == 0) return LoadLibraryA(lpLibFileName);
  if (dwFlags != LOAD_LIBRARY_SEARCH_SYSTEM32) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  std::string name = AnsiToUtf8(lpLibFileName);
  // A full path is loaded from there; any other name is looked for in the
  // system directory alone, never beside the executable or in the current
  // folder.
  const bool fullPath = (name.size() >= 3 && isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':' &&
                         (name[2] == '\\' || name[2] == '/')) ||
                        name.compare(0, 2, "\\\\") == 0;
  if (fullPath) {
    std::string host;
    DWORD error = 0;
    if (!TranslatePath(name, &host, &error)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return OpenLibrary(host, lpLibFileName);
  }
  std::string host = FindInSystemFolder(name);
  if (host.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return OpenLibrary(host, lpLibFileName);
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  WINSIM_FAIL_POINT(0);
  std::string path = Utf8ToAnsi(WindowsPathOf(SystemFolder()));
  // Too small: the size needed, terminator included; else the length.
  if (!lpBuffer || uSize <= path.size()) return static_cast<UINT>(path.size() + 1);
  memcpy(lpBuffer, path.c_str(), path.size() + 1);
  return static_cast<UINT>(path.size());
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  WINSIM_FAIL_POINT(nullptr);
  if (!IsLoadedModule(hModule)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Ordinals: nothing here exports by ordinal.
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(hModule, lpProcName);
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hLibModule) {
  WINSIM_FAIL_POINT(FALSE);
  if (!IsLoadedModule(hLibModule)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (hLibModule != reinterpret_cast<HMODULE>(ExecutableHandle())) dlclose(hLibModule);
  return TRUE;
}
