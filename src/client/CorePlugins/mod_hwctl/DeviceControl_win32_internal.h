// Shared pieces of the device control engine's Win32 sources: handle owners,
// device readers and the command handlers the command table refers to. Not
// for use outside DeviceControl_win32*.cpp.
#pragma once
#include <cstddef>
#include <vector>

#include "DeviceControl_win32.h"
#include "common/util/ScopedHandle.h"
#include "common/util/WString.h"

namespace devctl {

// ---- Handle owners ------------------------------------------------------------
// Every handle the engine opens is owned by a ScopedHandle, so an early return
// releases it (DevInfoSet, RegKey, Library and KernelHandle are declared with
// their traits). The traits of handles only the engine opens:
struct ServiceTraits : NullInvalidTraits<SC_HANDLE> {
  static void Close(Handle h) { CloseServiceHandle(h); }
};
struct MachineTraits : NullInvalidTraits<HMACHINE> {
  static void Close(Handle h) { CM_Disconnect_Machine(h); }
};
typedef ScopedHandle<ServiceTraits> ServiceHandle;
typedef ScopedHandle<MachineTraits> MachineConnection;

// Reads the device's instance ID with the set's machine handle into a zeroed
// buffer of ENGINE_MAX_DEVICE_ID_LEN units (a stub that writes nothing then
// reads as empty). False when the set's details or the ID can't be read.
bool ReadInstanceId(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, WCHAR* pszId, HMACHINE* phMachine = nullptr);
// The setup class GUIDs of a class name; false on a failure other than a
// short buffer (the list is grown to the reported count and read again).
bool ClassGuidsFromName(const WCHAR* pszClass, const WCHAR* pszMachine, std::vector<GUID>* pGuids, DWORD dwFirstRoom);

// ---- Handlers of the command table ------------------------------------------------
#define DEVCTL_HANDLER(name) \
  EngineResult name(const WCHAR* pszBaseName, const WCHAR* pszMachine, int nArgs, const WCHAR* const* ppArgs)
DEVCTL_HANDLER(CmdClassFilter);
DEVCTL_HANDLER(CmdClasses);
DEVCTL_HANDLER(CmdDisable);
DEVCTL_HANDLER(CmdDriverFiles);
DEVCTL_HANDLER(CmdDriverNodes);
DEVCTL_HANDLER(CmdEnable);
DEVCTL_HANDLER(CmdFind);
DEVCTL_HANDLER(CmdFindAll);
DEVCTL_HANDLER(CmdHelp);
DEVCTL_HANDLER(CmdHwIds);
DEVCTL_HANDLER(CmdInstall);
DEVCTL_HANDLER(CmdListClass);
DEVCTL_HANDLER(CmdReboot);
DEVCTL_HANDLER(CmdRemove);
DEVCTL_HANDLER(CmdRescan);
DEVCTL_HANDLER(CmdResources);
DEVCTL_HANDLER(CmdRestart);
DEVCTL_HANDLER(CmdSetHwId);
DEVCTL_HANDLER(CmdStack);
DEVCTL_HANDLER(CmdStatus);
DEVCTL_HANDLER(CmdUpdate);
DEVCTL_HANDLER(CmdUpdateNi);

}  // namespace devctl
