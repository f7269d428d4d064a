// What cpfhost needs from the platform under it: load the plug-in, find its
// exports, stop on Ctrl-C, end the process. The simulated build also loads a
// machine description first.
#pragma once
#include <string>

struct HostOptions {
  std::string self = "cpfhost";  // the name it was started by (cpfhost, vaulthelper), for its messages
  std::string pluginPath;        // empty: DeviceManager.dll beside the host
  std::string machinePath;       // simulated build only
  std::string scenarioPath;      // played by HostPlayScenario
  int seconds = -1;              // < 0: until Ctrl-C
  unsigned long long startArg = 0;
};

// Prepares the platform (the simulated build loads options.machinePath).
// False with `error` set when the host cannot go on.
bool HostPlatformInit(const HostOptions& options, std::string* error);
// The folder of the host executable, ending with a separator.
std::string HostOwnDir();
// Loads the plug-in; null with `error` set on failure. Never unloaded.
void* HostLoadPlugin(const std::string& path, std::string* error);
void* HostFindExport(void* plugin, const char* name);
// Ctrl-C (SIGINT, SIGTERM) sets the flag that HostStopRequested reads and
// ends a HostWaitForStop under way.
void HostInstallStopHandler();
bool HostStopRequested();
// Sleeps up to `milliseconds`, ending early on Ctrl-C; true when a stop was
// requested. An idle host is then woken by nothing but the stop.
bool HostWaitForStop(unsigned milliseconds);
// Milliseconds of the machine's monotonic clock (on the simulated build the
// machine's clock, which may be virtual).
unsigned long long HostNowMs();
// Ends the process at once, after the caller flushed its output: the
// module's detached threads must not see static destructors run.
[[noreturn]] void HostExit(int code);
