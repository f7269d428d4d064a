#include "support/test_support.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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
void QuickExit(int code) { ExitProcess(static_cast<UINT>(code)); }
static int ProcessId() { return static_cast<int>(GetCurrentProcessId()); }
#else
void InstallCrashHandler() {}
void QuickExit(int code) { _exit(code); }
static int ProcessId() { return static_cast<int>(getpid()); }
#endif

std::string MakeTempDir(const std::string& tag) {
  static std::atomic<int> counter{0};
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("dm-" + tag + "-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir);
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

}  // namespace dmtest
