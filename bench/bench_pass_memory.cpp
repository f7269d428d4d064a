// Resident memory of the module under policy passes driven by direct calls
// (device_manage::ReLoadDevice + ControlDeviceByStrategy, at log level ERROR)
// on the generated workstation with the real agent libraries: the resident
// size at pass 1 000 and at the last pass (target: at most 20 MB, no growth).
//
// usage: bench_pass_memory [--passes N]   (default 10000; at least 1000)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DeviceManagerModule.h"
#include "DeviceOpt.h"
#include "bench_agent.h"
#include "common/util/DiagLog.h"

int main(int argc, char** argv) {
  int passes = 10000;
  bench::ParseOptions(argc, argv, {{"--passes", &passes, nullptr, 1000}}, "[--passes N]");

  bench::AgentInstall install;
  install.CreateOrExit(bench::kLevelError, "bench_pass_memory");
  CDiagLog::Instance().SetName("device");
  FollowAgentDiagLevel();

  static device_manage manage;
  manage.InitSysParamDeviceInfo();
  manage.LoadDevice();
  const size_t startRss = bench::ResidentBytes();
  size_t rss1000 = 0;
  std::vector<double> times;
  times.reserve(static_cast<size_t>(passes));
  for (int pass = 1; pass <= passes; ++pass) {
    double t0 = bench::NowMs();
    manage.ReLoadDevice();
    manage.ControlDeviceByStrategy();
    times.push_back(bench::NowMs() - t0);
    if (pass == 1000) rss1000 = bench::ResidentBytes();
  }
  const size_t lastRss = bench::ResidentBytes();

  const double mb = 1e6;  // decimal megabytes, as the target is written
  char text[128];
  bench::Figure("rss_before_passes", startRss / mb, "MB", "machine loaded, module started, no pass yet");
  bench::Figure("rss_pass_1000", rss1000 / mb, "MB", bench::Target(rss1000 / mb, 20, "MB"));
  snprintf(text, sizeof(text), "rss_pass_%d", passes);
  bench::Figure(text, lastRss / mb, "MB", bench::Target(lastRss / mb, 20, "MB"));
  double growth = (static_cast<double>(lastRss) - static_cast<double>(rss1000)) / 1024.0;
  snprintf(text, sizeof(text), "from pass 1000 to pass %d; target: no growth (page granularity 4 KiB)", passes);
  bench::Figure("rss_growth", growth, "KiB", text);
  snprintf(text, sizeof(text), "median pass of %zu at ERROR, max %.2f", times.size(), bench::Quantile(times, 1.0));
  bench::Figure("pass_error", bench::Median(times), "ms", text);

  install.Remove();
  fflush(stdout);
  _Exit(0);
}
