// On Windows the machine is real: nothing plugs devices on the host's
// behalf, so scenarios are played only over the simulated machine.
#include <cstdio>

#include "host_scenario.h"

void HostPlayScenario(const HostOptions& options) {
  if (options.scenarioPath.empty()) return;
  printf("host.scenario = %s (scenarios play on the simulated machine only)\n", options.scenarioPath.c_str());
}

bool HostCheckScenario(const HostOptions&, std::string*) { return true; }
