// whatif beyond one run: a fleet of machine descriptions (each machine a
// whatif run of its own, in its own process and sandbox), shards of a fleet
// and their merge, and the difference two policies make.
#pragma once
#include <string>
#include <vector>

namespace whatif {

struct FleetOptions {
  std::string self;     // this program, run once per machine and policy
  std::string policy;   // the policy (A of a comparison)
  std::string compare;  // B of a comparison, or empty
  std::string machine;  // one machine (a comparison on one machine)
  std::string machines; // a folder of descriptions
  std::vector<std::string> plugs, merge;
  std::string session;  // passed on as given, or empty
  unsigned jobs = 0;    // 0: the number of cores
  unsigned shard = 1, shards = 1;
  bool json = false;
};

// Each returns the exit code: 1 if any input was bad, else 2 for a lockout
// risk (of B that A has not, for a comparison), else 0.
int RunFleet(const FleetOptions& options);
int RunCompare(const FleetOptions& options);
int RunMerge(const FleetOptions& options);

}  // namespace whatif
