// How fast the module reacts, with its real threads: DeviceManager.dll loaded
// through its exports and started as the agent's host starts it, on the
// laptop (examples/machines/laptop.json) with the real agent libraries,
// policy examples/policies/device-control.json (USB disks and portable
// devices forbidden) and log level ERROR.
//
// Exposure: for each of three devices of the laptop, fresh copies of its
// whole subtree are added with unique instance IDs (a device the module once
// disabled would come back disabled) and plugged one at a time. The figure
// runs from the controlled device's own start (winsim's journal records the
// moment it arrived, present and started) to the first time
// CM_Get_DevNode_Status, polled every millisecond, shows problem 22. Parents
// and the other devices of a subtree start on their own delays, as the
// description says.
//
// Policy change: with a SanDisk stick plugged and allowed
// (examples/policies/usb-allowed.json), config\policy.json is replaced by the
// forbidding policy (written beside and renamed), timed until the disk shows
// problem 22; then the allowing policy again, timed until the disk runs; N
// times each, each after the previous one has settled.
//
// usage: bench_reaction [--plugs N] [--changes N]   (defaults 20 and 20)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_agent.h"
#include "platform/winapi.h"
#include "agent/host/StartPlugin.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace {

// A device kind of the laptop: the words of its subtree's instance IDs that a
// copy replaces to be a new device, the root that is plugged and the device
// the policy forbids.
struct Kind {
  const char* name;
  std::vector<std::pair<std::string, std::string>> unique;  // word -> prefix of its copies
  std::string root;
  std::string controlled;
};

std::vector<Kind> Kinds() {
  return {
      {"sandisk_disk",
       {{"4C530001230101108154", "4C53000123BENCH"}},
       "USB\\VID_0781&PID_5567\\4C530001230101108154",
       "USBSTOR\\DISK&VEN_SANDISK&PROD_CRUZER_BLADE&REV_1.00\\4C530001230101108154&0"},
      {"samsung_disk",
       {{"0374722050003386", "03747220BENCH"}},
       "USB\\VID_090C&PID_1000\\0374722050003386",
       "USBSTOR\\DISK&VEN_SAMSUNG&PROD_FLASH_DRIVE&REV_1100\\0374722050003386&0"},
      {"phone_mtp",
       {{"R58M12ABCDE", "R58BENCH"}, {"6&3B2A1C0D&0&0000", "6&BENCH"}},
       "USB\\VID_04E8&PID_6860\\R58M12ABCDE",
       "USB\\VID_04E8&PID_6860&MS_COMP_MTP&SAMSUNG_ANDROID\\6&3B2A1C0D&0&0000"},
  };
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Copy `n` of a device of `kind` (an instance ID or a device's description).
std::string Copy(const Kind& kind, std::string text, int n) {
  char suffix[16];
  snprintf(suffix, sizeof(suffix), "%04d", n);
  for (const auto& word : kind.unique) text = Replace(text, word.first, word.second + suffix);
  return text;
}

// The laptop's description has one device object per line; the lines that
// name a kind's unique words are its subtree, parents first.
bool SubtreeLines(const std::string& machine, const Kind& kind, std::vector<std::string>* lines) {
  std::istringstream in(machine);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("{\"id\"") == std::string::npos) continue;
    if (line.find(kind.unique.front().first) == std::string::npos) continue;
    line = line.substr(line.find('{'));
    while (!line.empty() && line.back() != '}') line.pop_back();
    lines->push_back(line);
  }
  return !lines->empty();
}

bool AddCopy(const Kind& kind, const std::vector<std::string>& lines, int n, std::string* error) {
  for (const std::string& line : lines)
    if (!winsim::AddDevice(Copy(kind, line, n), error)) return false;
  return true;
}

// As a Win32 program sees it: the device's node status, false when absent.
bool NodeStatus(const std::string& id, ULONG* status, ULONG* problem) {
  std::basic_string<WCHAR> wide(id.begin(), id.end());
  DEVINST node = 0;
  if (CM_Locate_DevNodeW(&node, &wide[0], CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
  return CM_Get_DevNode_Status(status, problem, node, 0) == CR_SUCCESS;
}

bool Disabled(const std::string& id) {
  ULONG status = 0, problem = 0;
  return NodeStatus(id, &status, &problem) && problem == CM_PROB_DISABLED;
}

bool Running(const std::string& id) {
  ULONG status = 0, problem = 0;
  return NodeStatus(id, &status, &problem) && problem == 0 && (status & DN_STARTED) != 0;
}

// Polls `done` every millisecond; the journal clock's time it held, or -1
// after `limitMs`.
template <typename Done>
double PollUntil(Done done, double limitMs) {
  double t0 = bench::NowMs();
  for (;;) {
    if (done()) return static_cast<double>(winsim::JournalClockMs());
    if (bench::NowMs() - t0 > limitMs) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// When the journal last saw `id` arrive; -1 if never.
double ArrivedAt(const std::string& id) {
  double at = -1;
  for (const winsim::DeviceJournalEntry& entry : winsim::DeviceJournal())
    if (entry.instanceId == id && entry.change == "arrived") at = static_cast<double>(entry.timeMs);
  return at;
}

// Milliseconds from the controlled device's start to its disable, or -1 when
// it still ran after `limitMs`; `startMs` gets its start after the plug.
double Exposure(const Kind& kind, int n, double limitMs, double* startMs) {
  std::string controlled = Copy(kind, kind.controlled, n);
  double pluggedAt = static_cast<double>(winsim::JournalClockMs());
  winsim::PlugDevice(Copy(kind, kind.root, n));
  double disabledAt = PollUntil([&] { return Disabled(controlled); }, limitMs);
  double startedAt = ArrivedAt(controlled);
  winsim::UnplugDevice(Copy(kind, kind.root, n));
  if (disabledAt < 0 || startedAt < 0) return -1;
  *startMs = startedAt - pluggedAt;
  return disabledAt - startedAt;
}

void Report(const char* prefix, std::vector<double>& sample, int missed, const std::string& what, double medianTarget,
            double maxTarget) {
  std::string name = prefix;
  char note[200];
  snprintf(note, sizeof(note), "of %zu, %s%s%s", sample.size(), what.c_str(), medianTarget > 0 ? "; " : "",
           medianTarget > 0 ? bench::Target(bench::Median(sample), medianTarget, "ms").c_str() : "");
  bench::Figure((name + "_p50").c_str(), bench::Median(sample), "ms", note);
  bench::Figure((name + "_p90").c_str(), bench::Quantile(sample, 0.9), "ms", "");
  bench::Figure((name + "_max").c_str(), bench::Quantile(sample, 1.0), "ms",
                maxTarget > 0 ? bench::Target(bench::Quantile(sample, 1.0), maxTarget, "ms") : "");
  bench::Figure((name + "_min").c_str(), bench::Quantile(sample, 0.0), "ms", "");
  if (missed) bench::Figure((name + "_missed").c_str(), missed, "", "not done within 10 s");
}

}  // namespace

int main(int argc, char** argv) {
  int plugs = 20, changes = 20;
  bench::ParseOptions(argc, argv, {{"--plugs", &plugs, nullptr, 1}, {"--changes", &changes, nullptr, 1}},
                      "[--plugs N] [--changes N]");

  bench::AgentInstall install;
  std::string error, machine, forbid, allow;
  bench::ExitUnless(
      install.Create(DM_BENCH_LAPTOP, DM_BENCH_POLICIES "/device-control.json", bench::kLevelError, &error),
      "bench_reaction", error);
  if (!bench::ReadFile(DM_BENCH_LAPTOP, &machine) ||
      !bench::ReadFile(DM_BENCH_POLICIES "/device-control.json", &forbid) ||
      !bench::ReadFile(DM_BENCH_POLICIES "/usb-allowed.json", &allow)) {
    fprintf(stderr, "bench_reaction: cannot read the laptop or its policies\n");
    _Exit(1);
  }
  std::vector<Kind> kinds = Kinds();
  std::vector<std::vector<std::string>> subtrees(kinds.size());
  for (size_t k = 0; k < kinds.size(); ++k) {
    if (!SubtreeLines(machine, kinds[k], &subtrees[k])) {
      fprintf(stderr, "bench_reaction: %s is not on the laptop\n", kinds[k].root.c_str());
      _Exit(1);
    }
    // Copy 0 waits for the start-up; copy plugs + 1 is the stick the policy
    // changes judge.
    for (int n = 0; n <= plugs + 1; ++n) {
      if (!AddCopy(kinds[k], subtrees[k], n, &error)) {
        fprintf(stderr, "bench_reaction: cannot add a copy of %s: %s\n", kinds[k].root.c_str(), error.c_str());
        _Exit(1);
      }
    }
  }
  if (!host::StartPlugin(&error)) {
    fprintf(stderr, "bench_reaction: %s\n", error.c_str());
    _Exit(1);
  }

  // The first plug waits for the module's start-up (the policy seen, the
  // workers started, the first pass done): not counted.
  double startMs = 0;
  if (Exposure(kinds[0], 0, 30000, &startMs) < 0) {
    fprintf(stderr, "bench_reaction: the module did not disable the first disk within 30 s\n");
    _Exit(1);
  }

  std::vector<std::vector<double>> exposure(kinds.size()), starts(kinds.size());
  std::vector<int> missed(kinds.size(), 0);
  int policyMissed = 0;
  for (int n = 1; n <= plugs; ++n) {
    for (size_t k = 0; k < kinds.size(); ++k) {
      // Pauses that vary over the device thread's one-second tick, so the
      // starts fall at every phase of it.
      std::this_thread::sleep_for(std::chrono::milliseconds(100 + (static_cast<int>(n * 3 + k) * 379) % 1000));
      double ms = Exposure(kinds[k], n, 10000, &startMs);
      if (ms < 0) {
        ++missed[k];
      } else {
        exposure[k].push_back(ms);
        starts[k].push_back(startMs);
      }
    }
  }
  for (size_t k = 0; k < kinds.size(); ++k) {
    char what[96];
    snprintf(what, sizeof(what), "own start (median %.0f ms after the plug) to problem 22", bench::Median(starts[k]));
    Report(("exposure_" + std::string(kinds[k].name)).c_str(), exposure[k], missed[k], what, 50, 150);
  }

  if (changes > 0) {
    const Kind& stick = kinds[0];
    const std::string disk = Copy(stick, stick.controlled, plugs + 1);
    install.WritePolicy(allow);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    winsim::PlugDevice(Copy(stick, stick.root, plugs + 1));
    if (PollUntil([&] { return Running(disk); }, 10000) < 0) {
      fprintf(stderr, "bench_reaction: the stick's disk did not run under the allowing policy\n");
      _Exit(1);
    }
    std::vector<double> toDisabled, toEnabled;
    int missedDisable = 0, missedEnable = 0;
    for (int r = 1; r <= 2 * changes; ++r) {
      const bool forbidding = r % 2 == 1;
      // The previous change is settled first: the subtree's late starts and
      // the device thread's looks again after it (250 + 500 + 1000 + 2000 ms)
      // would wake the thread and hide its one-second tick, which is what
      // notices a replaced file on an otherwise quiet machine.
      std::this_thread::sleep_for(std::chrono::milliseconds(4500 + (r * 379) % 1000));
      double t0 = static_cast<double>(winsim::JournalClockMs());
      install.WritePolicy(forbidding ? forbid : allow);
      double at = forbidding ? PollUntil([&] { return Disabled(disk); }, 10000)
                             : PollUntil([&] { return Running(disk); }, 10000);
      if (at < 0) {
        ++(forbidding ? missedDisable : missedEnable);
        continue;
      }
      (forbidding ? toDisabled : toEnabled).push_back(at - t0);
    }
    policyMissed = missedDisable + missedEnable;
    Report("policy_to_disabled", toDisabled, missedDisable, "policy.json replaced to the disk's problem 22", 0, 0);
    Report("policy_to_enabled", toEnabled, missedEnable, "policy.json replaced to the disk running again", 0, 0);
    winsim::UnplugDevice(Copy(stick, stick.root, plugs + 1));
  }

  fflush(stdout);
  install.Remove();
  int anyMissed = policyMissed;
  for (int m : missed) anyMissed += m;
  _Exit(anyMissed ? 1 : 0);
}
