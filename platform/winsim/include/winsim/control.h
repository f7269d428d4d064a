// winsim's control API: tests and the host act on the simulated machine as the
// world would (load a machine, plug a device, make a call fail) and read what
// happened. Not part of Win32; module code never includes it.
#pragma once
#include <string>
#include <vector>
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
// Kills the process (SIGKILL, as an administrator's taskkill /f or a crash)
// at the `nth` call of the Win32 function `name` from now on.
WINSIM_CTL void KillAtCall(const std::string& name, int nth);

// Registry as the world changes it (an installer, a driver): key paths start
// with a root name (HKLM, HKCU, HKCR, HKU or their HKEY_* spelling), e.g.
// "HKLM\\SOFTWARE\\Vendor". Missing keys are created. Watchers registered
// with RegNotifyChangeKeyValue are told, as for the Win32 calls.
WINSIM_CTL bool CreateRegistryKey(const std::string& keyPath);
WINSIM_CTL bool SetRegistryValue(const std::string& keyPath, const std::string& valueName, DWORD type,
                                 const std::vector<BYTE>& data);
// REG_SZ (stored in UTF-16 with its terminator) and REG_DWORD shorthands; text is UTF-8.
WINSIM_CTL bool SetRegistryString(const std::string& keyPath, const std::string& valueName, const std::string& text);
WINSIM_CTL bool SetRegistryDword(const std::string& keyPath, const std::string& valueName, DWORD value);
// Deletes a key with everything below it; false when it does not exist.
WINSIM_CTL bool DeleteRegistryKey(const std::string& keyPath);
// Waits on the machine's clock, at most `timeoutMs` (0: looks once), until a
// RegNotifyChangeKeyValue request is pending on the key itself: a change
// made from then on is reported. False when none was (or no such key).
WINSIM_CTL bool WaitForRegistryWatch(const std::string& keyPath, unsigned timeoutMs);

// The ANSI code page (GetACP, CP_ACP conversions, the file and registry "A" calls).
WINSIM_CTL void SetCodePage(UINT codePage);

// The clock. With "clock": "virtual" in the machine description every time
// source and timed wait of the process runs on one virtual clock that moves
// only when every thread winsim knows of waits in one of winsim's waits (Sleep,
// WaitFor..., GetMessage, ...) and then jumps to the earliest deadline.
// Threads become known at their first time function or wait; a thread
// wrapper announces a thread before starting it so that time waits for it.
WINSIM_CTL bool VirtualClock();
// Monotonic milliseconds of the machine's clock (GetTickCount64's value).
WINSIM_CTL uint64_t ClockMs();
// Waits (at most `timeoutMs` of wall time) until every other thread winsim
// knows of is blocked in one of its waits: on the virtual clock nothing can
// happen until this thread waits too, so what it reads then is a settled
// state. False when some thread kept running (or waits on something winsim
// cannot see).
WINSIM_CTL bool WaitForQuietMachine(unsigned timeoutMs = 10000);
// Waits on the machine's clock, at most `timeoutMs` (0: looks once), until a
// top-level window of class `className` titled `title` exists (both compared
// without case, as FindWindow compares them). False when none did.
WINSIM_CTL bool WaitForWindow(const std::string& className, const std::string& title, unsigned timeoutMs);
// The machine is idle when WaitForDeviceIdle (winsim/devices_control.h) and
// then WaitForQuietMachine return true: every change was delivered, and what
// it woke is waiting again.
WINSIM_CTL void AnnounceThread();
// The announced thread's first call, on that thread.
WINSIM_CTL void AnnouncedThreadBegins();

// One network adapter as GetAdaptersInfo lists it, in the order added.
struct Adapter {
  std::string name;                    // empty: a GUID text is made up
  std::string description;             // "Intel(R) Ethernet Connection I219-LM"
  UINT type = 6;                       // MIB_IF_TYPE_ETHERNET, IF_TYPE_IEEE80211, ...
  std::vector<BYTE> mac;               // usually 6 bytes
  std::vector<std::string> addresses;  // "192.168.1.20" or "192.168.1.20/24"
  std::string gateway;
  bool dhcp = true;
};
WINSIM_CTL void AddAdapter(const Adapter& adapter);
WINSIM_CTL void ClearAdapters();

}  // namespace winsim
