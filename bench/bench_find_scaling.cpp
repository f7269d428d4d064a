// How `find *` through the facade grows with the machine: the generated
// workstation at 1,000, 5,000, 10,000 and 20,000 devices. Each size's
// machine is loaded once, outside the timed loop; the log-log slope between
// the sizes is printed at the end (1.0 is linear).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "DeviceControl_win32.h"
#include "winsim/control.h"

namespace {

const int kSizes[] = {1000, 5000, 10000, 20000};

// Seconds of one find per machine size.
std::map<int, double>& Timings() {
  static std::map<int, double> timings;
  return timings;
}

bool LoadMachine(int devices) {
  static int loaded = 0;
  if (loaded == devices) return true;
  const std::string path = std::string(DM_BENCH_MACHINE_DIR) + "/workstation_" + std::to_string(devices) + ".json";
  std::string error;
  if (!winsim::LoadMachineFile(path, &error)) {
    fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  loaded = devices;
  return true;
}

void BM_FindScaling(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  if (!LoadMachine(devices)) {
    state.SkipWithError("machine not loaded");
    return;
  }
  device_control control;
  size_t found = 0;
  for (auto _ : state) {
    std::vector<stDevice> list;
    if (control.FindDevices(&list) != 0) state.SkipWithError("find failed");
    found = list.size();
  }
  state.counters["devices"] = static_cast<double>(found);
  state.SetComplexityN(static_cast<int64_t>(found));
}

// Keeps each size's CPU time per iteration for the slope: the machine is
// shared, and CPU time is what the find itself costs.
class SlopeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0)
        Timings()[static_cast<int>(run.complexity_n)] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

BENCHMARK(BM_FindScaling)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2])->Arg(kSizes[3])
    ->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  SlopeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // Slope of log(time) over log(devices listed), between neighbours and
  // from the smallest to the largest size.
  const std::map<int, double>& t = Timings();
  for (auto it = t.begin(); it != t.end() && std::next(it) != t.end(); ++it) {
    auto next = std::next(it);
    printf("find_slope_%d_%d %.2f\n", it->first, next->first,
           std::log(next->second / it->second) / std::log(double(next->first) / it->first));
  }
  if (t.size() >= 2)
    printf("find_slope %.2f\n", std::log(t.rbegin()->second / t.begin()->second) /
                                    std::log(double(t.rbegin()->first) / t.begin()->first));
  fflush(stdout);
  _Exit(0);
}
