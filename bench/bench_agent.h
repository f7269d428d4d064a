// What the benchmarks share: a machine (the generated workstation unless
// told otherwise) with the agent installed in a scratch drive C:
// (config\agent.json, config\policy.json, tpmlog\), figures printed one per
// line, clocks and the resident size.
// Nothing here links the module: a program either links it or loads the
// plug-in, never both.
#pragma once
#include "agent/vaultcommon/HostText.h"
#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace bench {

// The agent's diagnostic level (shared setting 46).
const unsigned kLevelInfo = 0;
const unsigned kLevelError = 2;

class AgentInstall {
 public:
  AgentInstall() = default;
  AgentInstall(const AgentInstall&) = delete;
  AgentInstall& operator=(const AgentInstall&) = delete;

  // Loads the workstation with drive C: in a fresh scratch folder and
  // installs the agent where its "UninstallExe" points, with the benchmark
  // policy and the given diagnostic level. False with a reason otherwise.
  bool Create(unsigned logLevel, std::string* error);
  // Create, or the program ends as ExitUnless ends it.
  void CreateOrExit(unsigned logLevel, const char* program);
  // The same on another machine description with another policy file; the
  // machine's "UninstallExe" must point into C:\Program Files\Vault\.
  bool Create(const std::string& machinePath, const std::string& policyPath, unsigned logLevel, std::string* error);
  // Replaces config\policy.json as an administrator's tool would.
  void WritePolicy(const std::string& text) const { Write("config/policy.json", text); }
  // Rewrites config\agent.json; the core library notices within a second.
  void SetLogLevel(unsigned level) const;
  // Host path of a file of the installation ("/"-separated relative path).
  std::string Path(const std::string& relative) const { return install_ + relative; }
  // Removes the scratch drive.
  void Remove();

 private:
  // Written beside and renamed, with a write time later than any before, so
  // the agent's libraries see a change and never half a file.
  void Write(const std::string& relative, const std::string& text) const;

  std::string sandbox_;
  std::string install_;
};

// Command-line options "--name value" of a benchmark program: each fills
// its number (raised to `least` when below it) or its text; anything else
// prints "usage: <program> <usage>" and ends the program with 2.
struct Option {
  const char* name;
  int* number;
  const char** text;
  int least;
};
void ParseOptions(int argc, char** argv, std::initializer_list<Option> options, const char* usage);
// Ends the program with 1 and "<program>: <error>" unless `ok`.
void ExitUnless(bool ok, const char* program, const std::string& error);

// Steady clock in milliseconds.
double NowMs();
// Resident set size from /proc/self/statm, in bytes (0 when unreadable).
size_t ResidentBytes();

using hosttext::ReadFile;

// Order statistics of a sample (sorted in place). q in [0, 1].
double Quantile(std::vector<double>& sample, double q);
double Median(std::vector<double>& sample);

// One figure per line: "<name>  <value> <unit>  <note>".
void Figure(const char* name, double value, const char* unit, const std::string& note = "");
// "target <= 50 ms: met" / "... MISSED".
std::string Target(double value, double limit, const char* unit);

}  // namespace bench
