// hwctl capture: the machine it runs on as a machine description that the
// simulated Windows loads (examples/machines/README.md), read with the same
// SetupAPI and Configuration Manager calls on Windows and on winsim.
#pragma once
#include <string>
#include <vector>

// Writes the description to `json`. Devices whose properties could not all be
// read are kept with what could be read; each such gap, and any device left
// out because not even its instance ID could be read, is added to `warnings`.
// False (with `error`) when the device list itself cannot be read.
bool CaptureMachine(std::string* json, std::vector<std::string>* warnings, std::string* error);
