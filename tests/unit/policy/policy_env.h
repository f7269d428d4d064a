// A scratch agent installation for the policy tests: config\agent.json with a
// known identity, the diagnostic log folder, and the registry's "UninstallExe"
// pointing there. Made once per process (the installation folder is cached
// for the life of the process); tests then write the files they need.
#pragma once
#include <string>
#include "support/agent_install.h"

namespace policytest {

using Installation = dmtest::AgentInstall;

const Installation& Install();
// Writes <install>/<relative> (relative uses "/"), giving it a write time later
// than any before so that a watcher sees a change even within one clock tick.
void WriteInstallFile(const std::string& relative, const std::string& text);
void WritePolicy(const std::string& json);
void RemoveInstallFile(const std::string& relative);
std::string ReadInstallFile(const std::string& relative);
// Last line of a JSON-lines file ("" when there is none).
std::string LastLine(const std::string& relative);
// Everything the diagnostic log wrote so far.
std::string ReadDiagLog();

// Identity written to agent.json.
extern const char* const kUserSid;
extern const char* const kClientGuid;
extern const char* const kServer;
const unsigned kSessionId = 3;

}  // namespace policytest
