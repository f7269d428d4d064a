// whatif beyond one run: a fleet of machine descriptions (each machine a
// whatif run of its own, in its own process and sandbox), shards of a fleet
// and their merge, and the difference two policies make.
#pragma once
#include <string>
#include <vector>

namespace whatif {

struct FleetOptions {
  std::string self;      // this program, run once per machine and policy
  std::string policy;    // the policy (A of a comparison)
  std::string compare;   // B of a comparison, or empty
  std::string machine;   // one machine (a comparison on one machine)
  std::string machines;  // a folder of descriptions
  std::vector<std::string> plugs, merge;
  std::string session;  // passed on as given, or empty
  unsigned jobs = 0;    // 0: the number of cores
  unsigned shard = 1, shards = 1;
  bool json = false;
  bool lint = false;
  std::vector<std::string> lintMachines;  // every --machine, for a lint
};

// Each returns the exit code: 1 if any input was bad, else 2 for a lockout
// risk (of B that A has not, for a comparison), else 0.
int RunFleet(const FleetOptions& options);
int RunCompare(const FleetOptions& options);
int RunMerge(const FleetOptions& options);
// The policy's traps, on its own and on every device the machines know:
// 2 for an error finding, 1 for bad input, else 0.
int RunLint(const FleetOptions& options);

// Runs this program once per argument list, `jobs` at once (0: cores); each
// result is its exit code and outputs. False when nothing could be started.
struct ChildRun {
  std::vector<std::string> args;
  int code = -1;
  std::string out, err;
};
bool RunChildren(const std::string& self, std::vector<ChildRun>& runs, unsigned jobs, std::string* why);
// A child's reason for bad input, on one line.
std::string ChildReason(const ChildRun& run);

}  // namespace whatif
