#include "host_scenario.h"

#include <cstdio>

void HostPlayScenario(const HostOptions& options) {
  if (options.scenarioPath.empty()) return;
  printf("host.scenario = %s (playback not available in this build)\n", options.scenarioPath.c_str());
}
