// Helpers shared by the fuzz targets: a simulated machine with an agent
// installation, and byte-to-UTF-16 decoding of fuzz input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/util/WString.h"

namespace fuzzsupport {

// Installation folder of the simulated agent, as the module sees it.
extern const char* const kInstallDir;  // "C:\\Vault\\"

// Loads a machine whose drive C: is a folder of this process (made once) and
// whose registry names the agent's installation; `extraSections` is spliced
// into the description's top-level object (e.g. "\"devices\": [...]").
// Aborts when the description is refused: a broken harness must not pass.
void LoadMachine(const std::string& extraSections);
// The plain machine, loaded at the first call only.
void LoadMachineOnce();

// Host path of a Windows path on the loaded machine.
std::string HostPath(const std::string& windowsPath);

// Prints `what` and aborts, so libFuzzer records the input as a crash.
[[noreturn]] void Fail(const char* what);

// Splits fuzz bytes into at most `maxParts` UTF-16 strings. A zero byte ends a
// part; 0x01 followed by two bytes is one UTF-16 unit (high byte first); any
// other byte is the unit of the same value. Parts never hold a zero unit.
std::vector<WString> SplitWide(const uint8_t* data, size_t size, size_t maxParts);

}  // namespace fuzzsupport
