// Scenario playback: timed events acted on the machine while the module runs,
// then the timeline of what the module did. The format is described in
// examples/scenarios/README.
#pragma once
#include "host_platform.h"

// Called once, right after cpf_Start, on the host thread. Returns when the
// scenario has been played and its timeline printed (or at once when there is
// none); the host then keeps running for --seconds or until Ctrl-C.
void HostPlayScenario(const HostOptions& options);
// Reads the scenario before the module starts: false with `error` set when
// it cannot be played, so the host ends instead of running without it.
bool HostCheckScenario(const HostOptions& options, std::string* error);
