#include "support/test_support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace dmtest {

#ifdef _WIN32
static LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* info) {
  fprintf(stderr, "unhandled exception 0x%08lX\n", info->ExceptionRecord->ExceptionCode);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}
void InstallCrashHandler() { SetUnhandledExceptionFilter(OnUnhandled); }
static int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }
[[noreturn]] static void EndProcess(int code) { ExitProcess(static_cast<UINT>(code)); }
#else
void InstallCrashHandler() {}
static int ProcessId() { return static_cast<int>(getpid()); }
[[noreturn]] static void EndProcess(int code) { _exit(code); }
#endif

// Scratch folders made by this process: removed when the run passed, kept
// (and named) when it failed, or always with DM_KEEP_TEST_DIRS set.
static std::mutex g_dirsLock;
static std::vector<std::filesystem::path>& MadeDirs() {
  static auto* dirs = new std::vector<std::filesystem::path>;
  return *dirs;
}

void QuickExit(int code) {
  {
    std::lock_guard<std::mutex> lock(g_dirsLock);
    const bool keep = code != 0 || getenv("DM_KEEP_TEST_DIRS") != nullptr;
    for (const auto& dir : MadeDirs()) {
      std::error_code ec;
      if (keep)
        fprintf(stderr, "test folder kept: %s\n", dir.string().c_str());
      else
        std::filesystem::remove_all(dir, ec);  // a module thread may still write there: best effort
    }
  }
  fflush(stderr);
  EndProcess(code);
}

std::string MakeTempDir(const std::string& tag) {
  static std::atomic<int> counter{0};
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("dm-" + tag + "-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir);
  {
    std::lock_guard<std::mutex> lock(g_dirsLock);
    MadeDirs().push_back(dir);
  }
  return dir.string();
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t Count(const std::string& text, const std::string& needle, size_t from) {
  size_t count = 0;
  for (size_t at = text.find(needle, from); at != std::string::npos; at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

}  // namespace dmtest
