// Platform layer of cpfhost over winsim (every build but Windows): POSIX
// loading and signals, and the machine description the module will see.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "common/util/HostIdentity.h"
#include "host_platform.h"
#include "winsim/control.h"
#include "winsim/win32.h"

namespace {
volatile sig_atomic_t g_stop = 0;
// Write end of a pipe the stop handler writes to: a wait polls the read end,
// so a signal taken by any thread, even just before the wait began, ends it.
int g_wakeRead = -1;
volatile int g_wakeWrite = -1;
void OnSignal(int) {
  int saved = errno;
  g_stop = 1;
  if (g_wakeWrite >= 0 && write(g_wakeWrite, "x", 1) < 0) {
    // full pipe: a byte is waiting already
  }
  errno = saved;
}

// The agent starts its processes by the full path of their .exe, and the
// module looks for "vaulthelper.exe" in its command line: present ours the
// same way unless the machine description says otherwise.
void PresentWindowsCommandLine() {
  std::string current = GetCommandLineA();
  size_t at = !current.empty() && current[0] == '"' ? 1 : 0;
  bool windowsSpelling = current.size() > at + 2 && isalpha(static_cast<unsigned char>(current[at])) &&
                         current[at + 1] == ':' && current[at + 2] == '\\';
  if (current.empty() || windowsSpelling) return;  // the description set one
  char exe[PATH_MAX] = {};
  ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (length <= 0) return;
  std::string program = "Z:" + std::string(exe, static_cast<size_t>(length));
  for (char& c : program)
    if (c == '/') c = '\\';
  if (program.size() < 4 || program.compare(program.size() - 4, 4, ".exe") != 0) program += ".exe";
  std::string line = program.find(' ') == std::string::npos ? program : "\"" + program + "\"";
  // The arguments as the real command line has them, after the program.
  size_t skip = current[0] == '"' ? current.find('"', 1) : current.find(' ');
  if (skip != std::string::npos) line += current.substr(current[0] == '"' ? skip + 1 : skip);
  winsim::SetCommandLine(line);
}

}  // namespace

bool HostPlatformInit(const HostOptions& options, std::string* error) {
  if (!options.machinePath.empty()) {
    std::string why;
    if (!winsim::LoadMachineFile(options.machinePath, &why)) {
      *error = "cannot load machine " + options.machinePath + ": " + why;
      return false;
    }
  }
  PresentWindowsCommandLine();
  // The agent's installer creates the diagnostic log folder; the module
  // writes into it but never creates it.
  std::string tpmlog = winsim::HostPath(GetInstallDir() + "tpmlog");
  std::error_code ignored;
  if (!tpmlog.empty()) std::filesystem::create_directories(tpmlog, ignored);
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
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    g_wakeRead = fds[0];
    g_wakeWrite = fds[1];
  }
  // No SA_RESTART: a signal taken by the waiting thread also ends its poll.
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool HostStopRequested() { return g_stop != 0; }

unsigned long long HostNowMs() { return winsim::ClockMs(); }

bool HostWaitForStop(unsigned milliseconds) {
  if (winsim::VirtualClock()) {
    // A wait the machine's clock sees: the module runs its schedule
    // meanwhile, in no wall time. Ctrl-C is looked at between slices.
    unsigned long long end = HostNowMs() + milliseconds;
    while (g_stop == 0 && HostNowMs() < end) {
      unsigned long long left = end - HostNowMs();
      Sleep(static_cast<DWORD>(left < 100 ? left : 100));
    }
    return g_stop != 0;
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  // Without a pipe poll ignores the descriptor and only times out (or is
  // interrupted by a signal this thread takes).
  struct pollfd wake = {g_wakeRead, POLLIN, 0};
  while (g_stop == 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    int rc = poll(&wake, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (rc > 0) break;
    if (rc < 0 && errno != EINTR) {
      if (wake.fd < 0) break;
      wake.fd = -1;  // the pipe failed: wait out the time alone
    }
  }
  return g_stop != 0;
}

void HostExit(int code) { _exit(code); }
