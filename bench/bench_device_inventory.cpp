// The device inventory through the facade on the generated workstation:
// one bare "find *" (what every inventory refresh runs) and the status query
// of one device (what every forbid or enable runs twice).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DeviceControl_win32.h"
#include "winsim/control.h"

namespace {

bool LoadWorkstation() {
  static const bool loaded = [] {
    std::string error;
    if (!winsim::LoadMachineFile(DM_BENCH_WORKSTATION, &error)) {
      fprintf(stderr, "cannot load %s: %s\n", DM_BENCH_WORKSTATION, error.c_str());
      return false;
    }
    return true;
  }();
  return loaded;
}

void BM_FindAllDevices(benchmark::State& state) {
  if (!LoadWorkstation()) {
    state.SkipWithError("workstation machine not loaded");
    return;
  }
  device_control control;
  size_t found = 0;
  for (auto _ : state) {
    std::vector<stDevice> devices;
    if (control.FindDevices(&devices) != 0) state.SkipWithError("find failed");
    found = devices.size();
  }
  state.counters["devices"] = static_cast<double>(found);
}

void BM_QueryDeviceStatus(benchmark::State& state) {
  if (!LoadWorkstation()) {
    state.SkipWithError("workstation machine not loaded");
    return;
  }
  device_control control;
  std::vector<stDevice> devices;
  if (control.FindDevices(&devices) != 0 || devices.empty()) {
    state.SkipWithError("no device found");
    return;
  }
  // A device from the middle of the list: the status query's own "@" lookup
  // makes no search, so its place should not matter.
  stDevice device = devices[devices.size() / 2];
  for (auto _ : state) {
    if (control.QueryDeviceStatus(device) != 0) state.SkipWithError("status failed");
  }
}

}  // namespace

BENCHMARK(BM_FindAllDevices)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryDeviceStatus)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The facade may have started nothing, but the module's statics are not
  // worth tearing down under a simulated machine: end as the host does.
  fflush(stdout);
  _Exit(0);
}
