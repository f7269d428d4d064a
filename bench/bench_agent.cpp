#include "bench_agent.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "winsim/control.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

// Of "UninstallExe" in the generated workstation.
const char kInstallDir[] = "C:\\Program Files\\Vault\\";

std::string AgentJson(unsigned level) {
  return "{\"sessionId\": 1, \"userSid\": \"S-1-5-21-1004336348-1177238915-682003330-1001\", "
         "\"clientGuid\": \"6F9619FF-8B86-D011-B42D-00C04FC964FF\", \"serverAddress\": \"10.20.30.40\", "
         "\"settings\": {\"7\": 0, \"46\": " +
         std::to_string(level) + "}}";
}

}  // namespace

bool AgentInstall::Create(unsigned logLevel, std::string* error) {
  return Create(DM_BENCH_WORKSTATION, DM_BENCH_POLICY, logLevel, error);
}

bool AgentInstall::Create(const std::string& machinePath, const std::string& policyPath, unsigned logLevel,
                          std::string* error) {
  char scratch[] = "/tmp/dm-bench-XXXXXX";
  if (mkdtemp(scratch) == nullptr) {
    *error = "cannot create a scratch folder under /tmp";
    return false;
  }
  sandbox_ = scratch;
  // The description names no drive C:; the variable gives it one.
  setenv("WINSIM_SANDBOX", sandbox_.c_str(), 1);
  std::string why;
  if (!winsim::LoadMachineFile(machinePath, &why)) {
    *error = "cannot load " + machinePath + ": " + why;
    return false;
  }
  install_ = winsim::HostPath(kInstallDir);
  if (install_.empty()) {
    *error = machinePath + " has no drive C:";
    return false;
  }
  if (install_.back() != '/') install_ += '/';
  std::error_code ec;
  for (const char* dir : {"config", "tpmlog"}) fs::create_directories(install_ + dir, ec);
  std::string policy;
  if (!ReadFile(policyPath, &policy)) {
    *error = "cannot read " + policyPath;
    return false;
  }
  Write("config/policy.json", policy);
  SetLogLevel(logLevel);
  return true;
}

void AgentInstall::SetLogLevel(unsigned level) const { Write("config/agent.json", AgentJson(level)); }

void AgentInstall::Remove() {
  std::error_code ec;
  if (!sandbox_.empty()) fs::remove_all(sandbox_, ec);
  sandbox_.clear();
}

void AgentInstall::Write(const std::string& relative, const std::string& text) const {
  static int bump = 0;
  fs::path path = Path(relative);
  fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::error_code ec;
  fs::last_write_time(temporary, fs::file_time_type::clock::now() + std::chrono::seconds(++bump), ec);
  fs::rename(temporary, path, ec);
}

void ParseOptions(int argc, char** argv, std::initializer_list<Option> options, const char* usage) {
  for (int i = 1; i < argc; ++i) {
    const Option* match = nullptr;
    for (const Option& o : options)
      if (strcmp(argv[i], o.name) == 0 && i + 1 < argc) match = &o;
    if (!match) {
      fprintf(stderr, "usage: %s %s\n", argv[0], usage);
      _Exit(2);
    }
    ++i;
    if (match->number) *match->number = std::max(atoi(argv[i]), match->least);
    if (match->text) *match->text = argv[i];
  }
}

void AgentInstall::CreateOrExit(unsigned logLevel, const char* program) {
  std::string error;
  ExitUnless(Create(logLevel, &error), program, error);
}

void ExitUnless(bool ok, const char* program, const std::string& error) {
  if (ok) return;
  fprintf(stderr, "%s: %s\n", program, error.c_str());
  _Exit(1);
}

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

double Quantile(std::vector<double>& sample, double q) {
  if (sample.empty()) return NAN;
  std::sort(sample.begin(), sample.end());
  // Nearest rank: the smallest value with at least q of the sample at or below it.
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sample.size())));
  return sample[rank == 0 ? 0 : rank - 1];
}

double Median(std::vector<double>& sample) { return Quantile(sample, 0.5); }

void Figure(const char* name, double value, const char* unit, const std::string& note) {
  printf("%-34s %10.3f %-3s  %s\n", name, value, unit, note.c_str());
  fflush(stdout);
}

std::string Target(double value, double limit, const char* unit) {
  char text[96];
  snprintf(text, sizeof(text), "target <= %g %s: %s", limit, unit, value <= limit ? "met" : "MISSED");
  return text;
}

}  // namespace bench
