// What the end-to-end tests need to run the agent from outside: child
// processes with their output in a file, registry keys and devices put back
// as they were, and waiting for diagnostic lines. (The installation folder's
// registry value is dmtest's, support/agent_install.h: Wine tests never
// overlap, and every test program removes the value at its end.)
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace e2e {

// Folder of this program (the build's bin folder), ending with "\".
std::string OwnDir();
inline std::string ReadFile(const std::string& path) { return dmtest::ReadTextFile(path); }
inline bool WriteFile(const std::string& path, const std::string& text) { return dmtest::WriteTextFile(path, text); }
bool FileExists(const std::string& path);
bool DirExists(const std::string& path);
using dmtest::Count;

// A program started with its standard output and error in one file.
// A process still running when the object goes is terminated.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();
  bool Start(const std::string& exe, const std::string& args, const std::string& workDir,
             const std::string& outputFile);
  // True when the process has ended within `ms`.
  bool WaitExit(DWORD ms);
  DWORD ExitCode() const;

 private:
  PROCESS_INFORMATION m_info = {};
};

// Runs a program to its end (at most `ms`): its exit code (0xFFFFFFFF when it
// could not start or did not end) and its output.
DWORD RunToEnd(const std::string& exe, const std::string& args, const std::string& outputFile, DWORD ms,
               std::string* output);

// HKLM keys created on demand; those created here are deleted again at the end.
class CreatedKeys {
 public:
  CreatedKeys() = default;
  CreatedKeys(const CreatedKeys&) = delete;
  CreatedKeys& operator=(const CreatedKeys&) = delete;
  ~CreatedKeys();
  // Creates every missing key along `path` (backslash separated).
  bool Create(const std::string& path);

 private:
  std::vector<std::string> m_created;
};

// A root-enumerated device registered for the life of the object: a device of
// a class the module controls on a machine that has none.
class RootDevice {
 public:
  RootDevice(const GUID& classGuid, const wchar_t* className, const wchar_t* hardwareId, const wchar_t* description);
  RootDevice(const RootDevice&) = delete;
  RootDevice& operator=(const RootDevice&) = delete;
  ~RootDevice();
  bool ok() const { return !m_instanceId.empty(); }

 private:
  GUID m_classGuid;
  std::wstring m_instanceId;
};

// Polls `done` until it holds (true) or `timeoutMs` passed (false).
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);
// Polls a file until `what` occurs in it `count` times.
bool WaitForCount(const std::string& path, const std::string& what, size_t count, DWORD timeoutMs);

}  // namespace e2e
