// Platform layer of cpfhost over winsim (every build but Windows): POSIX
// loading and signals, and the machine description the module will see.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "host_platform.h"
#include "winsim/control.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

bool HostPlatformInit(const HostOptions& options, std::string* error) {
  if (options.machinePath.empty()) return true;
  std::string why;
  if (!winsim::LoadMachineFile(options.machinePath, &why)) {
    *error = "cannot load machine " + options.machinePath + ": " + why;
    return false;
  }
  return true;
}

std::string HostOwnDir() {
  char path[PATH_MAX] = {};
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return "./";
  std::string text(path, static_cast<size_t>(length));
  return text.substr(0, text.rfind('/') + 1);
}

void* HostLoadPlugin(const std::string& path, std::string* error) {
  // A bare file name would make dlopen search the library path; the host
  // means a file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) *error = dlerror();
  return handle;
}

void* HostFindExport(void* plugin, const char* name) { return dlsym(plugin, name); }

void HostInstallStopHandler() {
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool HostStopRequested() { return g_stop != 0; }

void HostSleepMs(unsigned milliseconds) {
  struct timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

void HostExit(int code) { _exit(code); }
