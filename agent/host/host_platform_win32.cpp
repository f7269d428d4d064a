// Platform layer of cpfhost on Windows: Win32 loading, the console's Ctrl-C
// handler and ExitProcess. There is no machine to load: the machine is real.
#include <windows.h>

#include "host_platform.h"

namespace {
volatile LONG g_stop = 0;
// Manual-reset event the console handler sets: it ends a wait under way and
// every later one.
HANDLE g_stopEvent = nullptr;
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    InterlockedExchange(&g_stop, 1);
    if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
    return TRUE;
  }
  return FALSE;
}
}  // namespace

bool HostPlatformInit(const HostOptions& options, std::string* error) {
  if (!options.machinePath.empty()) {
    *error = "--machine needs the simulated build; this host runs on the real machine";
    return false;
  }
  return true;
}

std::string HostOwnDir() {
  char path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  size_t cut = text.find_last_of("\\/");
  return cut == std::string::npos ? std::string(".\\") : text.substr(0, cut + 1);
}

void* HostLoadPlugin(const std::string& path, std::string* error) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) *error = "LoadLibraryA failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(handle);
}

void* HostFindExport(void* plugin, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(plugin), name));
}

void HostInstallStopHandler() {
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool HostStopRequested() { return InterlockedCompareExchange(&g_stop, 0, 0) != 0; }

bool HostWaitForStop(unsigned milliseconds) {
  if (milliseconds == INFINITE) --milliseconds;  // a bounded wait, as asked
  if (g_stopEvent != nullptr)
    WaitForSingleObject(g_stopEvent, milliseconds);
  else if (!HostStopRequested())
    Sleep(milliseconds);
  return HostStopRequested();
}

unsigned long long HostNowMs() { return GetTickCount64(); }

void HostExit(int code) { ExitProcess(static_cast<UINT>(code)); }
