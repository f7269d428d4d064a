// The agent around the real plug-in, for tests that drive the whole module:
// the laptop machine with its agent installed in a scratch sandbox, the
// agent's files, and the plug-in loaded through its exports and started the
// way the agent's host does it. One module per process: the module's threads
// are detached and never stop, so each test runs in a process of its own.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace scenario {

// Agent state (shared setting 7) while the agent is being uninstalled.
const unsigned kAgentUninstalling = 0x10000000;
// Diagnostic levels (shared setting 46): every line, or errors only.
const unsigned kLogEverything = 0;
const unsigned kLogErrors = 2;

// The laptop description as the examples hold it.
std::string LaptopDescription();
// The laptop description with drive C: in `sandboxDir` (a host folder), so the
// agent's installation folder C:\Program Files\Vault\ lies inside it, on the
// virtual clock unless `realClock`. `devicesJson`, when not empty, replaces the
// description's "devices" array.
std::string LaptopMachineJson(const std::string& sandboxDir, const std::string& devicesJson = "",
                              bool realClock = false);

class AgentSandbox {
 public:
  // Loads the machine (when `machineJson` is empty the laptop in a fresh
  // sandbox, on the virtual clock unless `realClock`) and creates the agent's
  // folders and agent.json.
  explicit AgentSandbox(const std::string& sandboxDir = "", const std::string& machineJson = "",
                        bool realClock = false);

  // Host path of a file under the installation folder ("/"-separated).
  std::string Path(const std::string& relative) const;
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  // Written beside and renamed, with a later write time, so that the agent's
  // libraries see a change and never half a file.
  void Write(const std::string& relative, const std::string& text) const;
  void WritePolicy(const std::string& json) const { Write("config/policy.json", json); }
  // Rewrites agent.json with the agent state; the diagnostic level is kept.
  void SetAgentState(unsigned state) const;
  void SetAgentState(unsigned state, unsigned logLevel);
  // Lines of a JSON-lines file (audit/audit.jsonl, notify/notifications.jsonl).
  std::vector<std::string> Lines(const std::string& relative) const;
  std::string DeviceLog() const { return Read("tpmlog/log_device.txt"); }

  // As the agent's helper process (audit records and tips) or another one.
  void RunAs(bool helperProcess) const;
  // Loads DeviceManager.dll from the program's folder, calls its exports in
  // the host's order and starts the module. False (with a reason) when the
  // plug-in is missing, misses an export or refuses.
  bool StartModule(std::string* why);

  const std::string& SandboxDir() const { return sandbox_; }

 private:
  std::string sandbox_;
  std::string install_;  // host path of the installation folder, with "/"
  unsigned logLevel_ = kLogEverything;
};

// Polls `done` every 50 ms of the machine's clock until it holds or `limit`
// passed; the result of the last poll.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(15));

using dmtest::Count;

// State changes that a Win32 caller (the module) made to a device, in order:
// the journal entries of the current profile that start with "disabled" or
// "enabled".
std::vector<std::string> ModuleChanges(const std::string& instanceId);

}  // namespace scenario
