// winsim's control API: tests and the host act on the simulated machine as the
// world would (load a machine, plug a device, make a call fail) and read what
// happened. Not part of Win32; module code never includes it.
#pragma once
#include <string>
#include "winsim/types.h"

#define WINSIM_CTL __attribute__((visibility("default")))

namespace winsim {

// Replaces the whole machine with the description in `path` (JSON). Relative
// paths inside it (the sandbox) are taken from the file's folder. Returns false
// and fills `error` on a malformed description; the old machine stays.
WINSIM_CTL bool LoadMachineFile(const std::string& path, std::string* error = nullptr);
// The same from JSON text; relative paths are taken from `baseDir`.
WINSIM_CTL bool LoadMachineJson(const std::string& json, const std::string& baseDir, std::string* error = nullptr);
// Host folder that drive C: maps to.
WINSIM_CTL std::string SandboxDir();
// Host path of a Windows path ("C:\x" -> <sandbox>/x, "Z:\x" -> /x).
WINSIM_CTL std::string HostPath(const std::string& windowsPath);
// Replaces what GetCommandLineA answers (empty: the real command line again).
WINSIM_CTL void SetCommandLine(const std::string& commandLine);
// Makes the next `times` calls of the Win32 function `name` fail with `error`
// (the function's own failure return, GetLastError set). times < 0: always.
WINSIM_CTL void FailCall(const std::string& name, DWORD error, int times = 1);
WINSIM_CTL void ClearFailures();

}  // namespace winsim
