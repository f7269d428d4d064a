// One policy pass as Thread_Device_Enum runs it after a device change
// (device_manage::ReLoadDevice, then ControlDeviceByStrategy) on the generated
// workstation, with the real agent libraries beside the program and a policy
// that changes nothing. Figures: the pass at log level ERROR (target: 50 ms)
// and INFO, its ratio to one bare "find *", and where the time of the pass
// goes: the inventory, the policy library (definitions read per device,
// one strategy query per strategy device ID), the status queries, the rest.
//
// usage: bench_policy_pass [--passes N] [--profile error|info]
//   --profile runs one pass in bench_profiled_pass() after a warm-up pass,
//   for valgrind --tool=callgrind --collect-atstart=no
//   --toggle-collect=bench_profiled_pass.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DeviceManagerModule.h"
#include "DeviceOpt.h"
#include "bench_agent.h"
#include "common/util/DiagLog.h"

namespace {

struct PassTimes {
  std::vector<double> pass, reload, control;
};

void Pass(device_manage& manage, PassTimes* times) {
  double t0 = bench::NowMs();
  manage.ReLoadDevice();
  double t1 = bench::NowMs();
  manage.ControlDeviceByStrategy();
  double t2 = bench::NowMs();
  if (times == nullptr) return;
  times->pass.push_back(t2 - t0);
  times->reload.push_back(t1 - t0);
  times->control.push_back(t2 - t1);
}

// The level the module reads from the agent: the core library looks at its
// file at most once a second, the log at most once a minute unless told.
void SwitchLevel(const bench::AgentInstall& install, unsigned level) {
  install.SetLogLevel(level);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  CDiagLog::Instance().ForceThresholdRefresh();
}

uintmax_t LogBytes(const bench::AgentInstall& install) {
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(install.Path("tpmlog/log_device.txt"), ec);
  return ec ? 0 : size;
}

// The devices a pass judges (neither excluded nor a disk drive it cannot
// control), as the inventory holds them after a pass.
std::vector<stDevice> JudgedDevices(device_manage& manage) {
  std::vector<stDevice> judged;
  for (const stDevice& device : manage.Inventory()) {
    if (device_manage_test_seam::Filter(manage).IsExcludeDevice(device)) continue;
    if (device.strDeviceClassGuid == DEVICE_CLASS_DISKDRIVE && device.dwStatus_Now == 0) continue;
    judged.push_back(device);
  }
  return judged;
}

std::string Note(const char* text, double median, std::vector<double>& sample) {
  char line[160];
  snprintf(line, sizeof(line), "%s; median of %zu, p90 %.2f, max %.2f", text, sample.size(),
           bench::Quantile(sample, 0.9), bench::Quantile(sample, 1.0));
  (void)median;
  return line;
}

template <typename Fn>
double MedianMs(int repeats, Fn fn) {
  std::vector<double> sample;
  for (int i = 0; i < repeats; ++i) {
    double t0 = bench::NowMs();
    fn();
    sample.push_back(bench::NowMs() - t0);
  }
  return bench::Median(sample);
}

}  // namespace

extern "C" __attribute__((noinline)) void bench_profiled_pass(device_manage* manage) { Pass(*manage, nullptr); }

int main(int argc, char** argv) {
  int passes = 30;
  const char* profile = nullptr;
  bench::ParseOptions(argc, argv, {{"--passes", &passes, nullptr, 1}, {"--profile", nullptr, &profile, 0}},
                      "[--passes N] [--profile error|info]");

  bench::AgentInstall install;
  install.CreateOrExit(profile && strcmp(profile, "info") == 0 ? bench::kLevelInfo : bench::kLevelError,
                       "bench_policy_pass");
  CDiagLog::Instance().SetName("device");  // as cpf_QueryInfo does
  FollowAgentDiagLevel();

  // A manager of its own, started as the device thread starts it; the first
  // pass loads the forbidden list and the libraries and warms every cache.
  static device_manage manage;
  manage.InitSysParamDeviceInfo();
  manage.LoadDevice();
  Pass(manage, nullptr);
  const size_t devices = manage.Inventory().size();
  if (devices == 0 || device_manage_test_seam::Forbidden(manage).Size() != 0) {
    fprintf(stderr, "bench_policy_pass: %zu devices found, %zu forbidden: not the pass to measure\n", devices,
            device_manage_test_seam::Forbidden(manage).Size());
    _Exit(1);
  }

  if (profile != nullptr) {
    bench_profiled_pass(&manage);
    fflush(stdout);
    install.Remove();
    _Exit(0);
  }

  // One bare "find *", what every inventory refresh runs.
  std::vector<stDevice> found;
  double find = MedianMs(passes, [&] {
    found.clear();
    device_manage_test_seam::Control(manage).FindDevices(&found);
  });

  PassTimes error_;
  for (int i = 0; i < passes; ++i) Pass(manage, &error_);
  double passError = bench::Median(error_.pass);

  // Where the time goes: each kind of call the pass makes, made alone for
  // the devices the pass judges.
  std::vector<stDevice> judged = JudgedDevices(manage);
  size_t queries = 0;
  std::vector<std::vector<std::string>> ids(judged.size());
  for (size_t i = 0; i < judged.size(); ++i) {
    manage.GetDeviceIdList(judged[i], ids[i]);
    queries += ids[i].size();
  }
  double definitions = MedianMs(passes, [&] {
    std::vector<std::string> list;
    for (const stDevice& device : judged) manage.GetDeviceIdList(device, list);
  });
  double strategy = MedianMs(passes, [&] {
    for (const auto& list : ids)
      for (const std::string& id : list) device_manage_test_seam::Strategy(manage).AnlyzeActFromStrategy(id);
  });
  double status = MedianMs(passes, [&] {
    for (stDevice device : judged) device_manage_test_seam::Control(manage).QueryDeviceStatus(device);
  });

  SwitchLevel(install, bench::kLevelInfo);
  // A fresh log, so that no rotation (past 20 MiB, some 30 passes at INFO)
  // falls among the passes measured.
  std::error_code ec;
  std::filesystem::remove(install.Path("tpmlog/log_device.txt"), ec);
  uintmax_t logBefore = LogBytes(install);
  PassTimes info;
  for (int i = 0; i < passes; ++i) Pass(manage, &info);
  double logPerPass = static_cast<double>(LogBytes(install) - logBefore) / passes / 1024.0;
  double passInfo = bench::Median(info.pass);
  SwitchLevel(install, bench::kLevelError);

  char text[160];
  snprintf(text, sizeof(text), "device_control::FindDevices, %zu devices found", found.size());
  bench::Figure("find_all", find, "ms", text);
  bench::Figure("policy_pass_error", passError, "ms",
                Note("ReLoadDevice + ControlDeviceByStrategy at ERROR", passError, error_.pass) + "; " +
                    bench::Target(passError, 50, "ms"));
  bench::Figure("policy_pass_info", passInfo, "ms", Note("the same at INFO", passInfo, info.pass));
  bench::Figure("policy_pass_error_per_find", passError / find, "x", "pass at ERROR / find_all");
  bench::Figure("policy_pass_info_per_find", passInfo / find, "x", "pass at INFO / find_all");
  double reload = bench::Median(error_.reload);
  double control = bench::Median(error_.control);
  bench::Figure("pass_error.reload", reload, "ms", "ReLoadDevice (find through the facade)");
  bench::Figure("pass_error.control", control, "ms", "ControlDeviceByStrategy");
  snprintf(text, sizeof(text), "GetDeviceIdList for the %zu devices judged (definitions fetched, digested, parsed)",
           judged.size());
  bench::Figure("pass_error.control.definitions", definitions, "ms", text);
  snprintf(text, sizeof(text), "AnlyzeActFromStrategy, %zu queries (one per strategy device ID)", queries);
  bench::Figure("pass_error.control.strategy", strategy, "ms", text);
  snprintf(text, sizeof(text), "QueryDeviceStatus of the %zu devices judged", judged.size());
  bench::Figure("pass_error.control.status", status, "ms", text);
  bench::Figure("pass_error.control.rest", control - definitions - strategy - status, "ms",
                "filters, lists, forbidden-device file, disabled log sites");
  bench::Figure("pass_info.log", passInfo - passError, "ms", "INFO minus ERROR: writing the diagnostic lines");
  bench::Figure("pass_info.log_size", logPerPass, "KiB", "diagnostic log written per pass at INFO");

  install.Remove();
  fflush(stdout);
  // The module's statics are not torn down under a simulated machine: end as
  // the host does.
  _Exit(0);
}
