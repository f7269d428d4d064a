// A simulated machine with the agent installed at C:\Agent\ (the registry's
// "UninstallExe"), for tests of the services that find the installation folder.
// Every test uses the same folder: the process keeps the first one it finds.
#pragma once
#include <filesystem>
#include <string>
#include "support/test_support.h"
#include "winsim/control.h"

namespace dmtest {

const char kAgentDir[] = "C:\\Agent\\";
// Said when a test meets another installation folder: the process keeps the
// first it finds, so each test needs a process of its own (ctest gives it one).
const char kOwnProcess[] = "the installation folder is kept for the process: run each test alone (ctest does)";

// Loads a fresh machine whose sandbox is a new scratch folder; creates
// C:\Agent\tpmlog when `withLogFolder`. Returns the host path of C:\Agent.
inline std::string LoadAgentMachine(const std::string& tag, bool withLogFolder) {
  std::string sandbox = MakeTempDir(tag);
  std::string error;
  if (!winsim::LoadMachineJson("{\"sandbox\": \"" + sandbox + "\"}", sandbox, &error)) return std::string();
  winsim::SetRegistryString("HKLM\\SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper", "UninstallExe",
                            "C:\\Agent\\uninst.exe");
  std::string agent = winsim::HostPath("C:\\Agent");
  std::filesystem::create_directories(agent + "/config");
  if (withLogFolder) std::filesystem::create_directories(agent + "/tpmlog");
  return agent;
}

}  // namespace dmtest
