// From the arrival of a forbidden USB stick to the stick disabled, with the
// module's real threads: DeviceManager.dll loaded through its exports and
// started as the agent's host starts it, on the generated workstation with
// the real agent libraries and log level ERROR. Each event plugs a fresh
// stick (winsim::PlugDevice) and polls CM_Get_DevNode_Status until the stick
// shows problem 22 (disabled), then unplugs it. The stick has no start delay,
// so its plug is its own start; the stick's arrival wakes the device thread,
// so the figure is about one broadcast and one pass over the 420 devices.
//
// usage: bench_arrival [--events N]   (default 20)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_agent.h"
#include "platform/winapi.h"
#include "agent/host/StartPlugin.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace {

// A stick of the kind the policy forbids; unplugged until an event plugs it.
std::string StickId(int n) {
  char id[64];
  snprintf(id, sizeof(id), "USB\\VID_0781&PID_5581\\BENCH%04d", n);
  return id;
}

bool AddStick(const std::string& id, std::string* error) {
  std::string escaped;
  for (char c : id) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return winsim::AddDevice("{\"id\": \"" + escaped +
                               "\", \"hw\": [\"USB\\\\VID_0781&PID_5581&REV_0100\", \"USB\\\\VID_0781&PID_5581\"], "
                               "\"compat\": [\"USB\\\\Class_08&SubClass_06&Prot_50\", \"USB\\\\Class_08\"], "
                               "\"class\": \"USB\", \"name\": \"USB Mass Storage Device\", \"status\": \"0x0180600A\", "
                               "\"present\": false, \"interfaces\": [\"USB device\"]}",
                           error);
}

// As a Win32 program sees it: problem 22 on the device's node.
bool Disabled(const std::string& id) {
  std::basic_string<WCHAR> wide(id.begin(), id.end());
  DEVINST node = 0;
  if (CM_Locate_DevNodeW(&node, &wide[0], CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
  ULONG status = 0, problem = 0;
  if (CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS) return false;
  return problem == CM_PROB_DISABLED;
}

// Milliseconds from the plug to the disable, or a negative value when the
// stick still ran after `limitMs`.
double PlugUntilDisabled(const std::string& id, double limitMs) {
  double t0 = bench::NowMs();
  winsim::PlugDevice(id);
  for (;;) {
    if (Disabled(id)) return bench::NowMs() - t0;
    if (bench::NowMs() - t0 > limitMs) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int events = 20;
  bench::ParseOptions(argc, argv, {{"--events", &events, nullptr, 1}}, "[--events N]");

  bench::AgentInstall install;
  install.CreateOrExit(bench::kLevelError, "bench_arrival");
  std::string error;
  for (int n = 0; n <= events; ++n) {
    if (!AddStick(StickId(n), &error)) {
      fprintf(stderr, "bench_arrival: cannot add a stick: %s\n", error.c_str());
      _Exit(1);
    }
  }
  if (!host::StartPlugin(&error)) {
    fprintf(stderr, "bench_arrival: %s\n", error.c_str());
    _Exit(1);
  }

  // The first stick waits for the module's start-up (the policy seen, the
  // workers started, the first pass done): not counted.
  if (PlugUntilDisabled(StickId(0), 30000) < 0) {
    fprintf(stderr, "bench_arrival: the module did not disable the first stick within 30 s\n");
    _Exit(1);
  }
  winsim::UnplugDevice(StickId(0));

  std::vector<double> sample;
  int missed = 0;
  for (int n = 1; n <= events; ++n) {
    // Pauses that vary over the device thread's one-second pass, so the
    // plugs fall at every phase of it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + (n * 379) % 1000));
    double ms = PlugUntilDisabled(StickId(n), 10000);
    winsim::UnplugDevice(StickId(n));
    if (ms < 0)
      ++missed;
    else
      sample.push_back(ms);
  }

  char text[160];
  snprintf(text, sizeof(text), "of %zu plugs, plug to problem 22, module threads at ERROR", sample.size());
  bench::Figure("arrival_to_disabled_p50", bench::Median(sample), "ms", text);
  bench::Figure("arrival_to_disabled_p90", bench::Quantile(sample, 0.9), "ms", "");
  bench::Figure("arrival_to_disabled_max", bench::Quantile(sample, 1.0), "ms",
                "one broadcast and one pass over the workstation");
  bench::Figure("arrival_to_disabled_min", bench::Quantile(sample, 0.0), "ms", "");
  if (missed) {
    snprintf(text, sizeof(text), "%d of %d sticks not disabled within 10 s", missed, events);
    bench::Figure("arrival_missed", missed, "", text);
  }

  fflush(stdout);
  install.Remove();
  _Exit(missed ? 1 : 0);
}
