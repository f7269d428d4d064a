// A scratch agent installation shared by the test programs that load the
// agent's libraries or the module: a fresh folder with config\ and tpmlog\,
// and the registry's "UninstallExe" pointing the installation folder there.
#pragma once
#include <string>

namespace dmtest {

struct AgentInstall {
  std::string hostDir;     // host path, ending with a separator
  std::string windowsDir;  // as the module sees it, ending with "\"
};

// Makes the folders under a fresh scratch folder named after `tag` and points
// "UninstallExe" there. The value is machine-wide under Wine, so it is
// removed when the test program ends.
AgentInstall MakeAgentInstall(const std::string& tag);
// Removes "UninstallExe": no installation folder in the registry. Done for
// every test program at its end.
void RemoveAgentInstallValue();
// A host path as the module sees it: backslashes, and drive Z: (the host's
// root) on the simulated machine.
std::string ToWindowsPath(std::string hostPath);
// Everything the diagnostic log wrote under the installation so far.
std::string ReadDiagLogs(const AgentInstall& install);

}  // namespace dmtest
