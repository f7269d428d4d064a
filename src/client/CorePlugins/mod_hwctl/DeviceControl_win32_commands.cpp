// Command table and dispatcher of the device control engine, with the commands
// that change device state (enable, disable, restart, remove), the report
// commands (status, find, findall and the information commands), the class
// listings, rescan and reboot.
#include <cstring>
#include <new>

#include "DeviceControl_win32.h"
#include "DeviceControl_win32_internal.h"

namespace devctl {
namespace {

// Planned restart for a hardware installation (SHTDN_REASON_FLAG_PLANNED |
// SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION).
const DWORD kRebootReason = 0x80010002;

// ---- State changes ---------------------------------------------------------------------

struct StateChangeContext {
  DWORD dwCount;        // devices on which the change call succeeded
  DWORD dwStateChange;  // DICS_* to apply
  BOOL bReboot;         // a changed device needs a restart of Windows
};

bool CallPropertyChange(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwStateChange, DWORD dwScope) {
  SP_PROPCHANGE_PARAMS params;
  memset(&params, 0, sizeof(params));
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = dwStateChange;
  params.Scope = dwScope;
  params.HwProfile = 0;
  if (!SetupDiSetClassInstallParamsW(hDevInfo, pDevInfoData, &params.ClassInstallHeader, sizeof(params))) return false;
  return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, hDevInfo, pDevInfoData) != FALSE;
}

bool NeedsRestart(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData) {
  SP_DEVINSTALL_PARAMS_W params;
  memset(&params, 0, sizeof(params));
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsW(hDevInfo, pDevInfoData, &params)) return false;
  return (params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0;
}

EngineResult ChangeStateCallback(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD, void* pContext) {
  StateChangeContext* context = static_cast<StateChangeContext*>(pContext);
  // Enable also clears a global disable; its outcome does not matter, the
  // current-profile call below decides.
  if (context->dwStateChange == DICS_ENABLE) CallPropertyChange(hDevInfo, pDevInfoData, DICS_ENABLE, DICS_FLAG_GLOBAL);
  if (!CallPropertyChange(hDevInfo, pDevInfoData, context->dwStateChange, DICS_FLAG_CONFIGSPECIFIC))
    return ENGINE_OK;  // refused: skip the device, carry on with the next
  if (NeedsRestart(hDevInfo, pDevInfoData)) context->bReboot = TRUE;
  ++context->dwCount;
  return ENGINE_OK;
}

EngineResult RemoveCallback(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD, void* pContext) {
  StateChangeContext* context = static_cast<StateChangeContext*>(pContext);
  WCHAR instanceId[ENGINE_MAX_DEVICE_ID_LEN];
  if (!ReadInstanceId(hDevInfo, pDevInfoData, instanceId)) return ENGINE_OK;
  SP_REMOVEDEVICE_PARAMS params;
  memset(&params, 0, sizeof(params));
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
  params.Scope = DI_REMOVEDEVICE_GLOBAL;
  params.HwProfile = 0;
  if (!SetupDiSetClassInstallParamsW(hDevInfo, pDevInfoData, &params.ClassInstallHeader, sizeof(params)) ||
      !SetupDiCallClassInstaller(DIF_REMOVE, hDevInfo, pDevInfoData))
    return ENGINE_OK;
  if (NeedsRestart(hDevInfo, pDevInfoData)) context->bReboot = TRUE;
  ++context->dwCount;
  return ENGINE_OK;
}

// Class installers act on the local machine only: a machine name is refused.
EngineResult RunStateChange(const WCHAR* pszBaseName, const WCHAR* pszMachine, int nArgs, const WCHAR* const* ppArgs,
                            DWORD dwStateChange, DeviceCallback pfnCallback) {
  if (pszMachine != nullptr || nArgs <= 0) return ENGINE_USAGE;
  StateChangeContext context = {0, dwStateChange, FALSE};
  EngineResult result = SelectDevices(pszBaseName, nullptr, DIGCF_PRESENT, nArgs, ppArgs, pfnCallback, &context);
  if (result != ENGINE_OK) return result;
  // A change that failed everywhere still reads as success: callers that care
  // about the outcome ask for the device's status.
  if (context.dwCount == 0) return ENGINE_OK;
  return context.bReboot ? ENGINE_REBOOT : ENGINE_OK;
}

// ---- Reports ------------------------------------------------------------------------------

struct ReportContext {
  DWORD dwCount;  // devices reported
  DWORD dwFlags;  // DETAIL_*
};

EngineResult ReportCallback(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD, void* pContext) {
  ReportContext* context = static_cast<ReportContext*>(pContext);
  if (context->dwFlags == 0) {
    PropertyString description = ReadDeviceDescription(hDevInfo, pDevInfoData);
    AppendDeviceRecord(hDevInfo, pDevInfoData, description.get());
    ++context->dwCount;
    return ENGINE_OK;
  }
  // The record (instance ID as its description, the status flags on its last
  // line) is all a detailed report delivers; the per-flag details add nothing
  // to the capture buffer.
  if (!AppendDeviceRecord(hDevInfo, pDevInfoData, nullptr)) return ENGINE_OK;
  ++context->dwCount;
  return ENGINE_OK;
}

EngineResult RunReport(const WCHAR* pszBaseName, const WCHAR* pszMachine, int nArgs, const WCHAR* const* ppArgs,
                       DWORD dwEnumFlags, DWORD dwDetail) {
  if (nArgs <= 0) return ENGINE_USAGE;
  ReportContext context = {0, dwDetail};
  return SelectDevices(pszBaseName, pszMachine, dwEnumFlags, nArgs, ppArgs, ReportCallback, &context);
}

}  // namespace

DEVCTL_HANDLER(CmdEnable) {
  return RunStateChange(pszBaseName, pszMachine, nArgs, ppArgs, DICS_ENABLE, ChangeStateCallback);
}
DEVCTL_HANDLER(CmdDisable) {
  return RunStateChange(pszBaseName, pszMachine, nArgs, ppArgs, DICS_DISABLE, ChangeStateCallback);
}
DEVCTL_HANDLER(CmdRestart) {
  return RunStateChange(pszBaseName, pszMachine, nArgs, ppArgs, DICS_PROPCHANGE, ChangeStateCallback);
}
DEVCTL_HANDLER(CmdRemove) { return RunStateChange(pszBaseName, pszMachine, nArgs, ppArgs, 0, RemoveCallback); }

DEVCTL_HANDLER(CmdStatus) {
  return RunReport(pszBaseName, pszMachine, nArgs, ppArgs, DIGCF_PRESENT, DETAIL_DESCRIPTION | DETAIL_STATUS);
}
DEVCTL_HANDLER(CmdFind) { return RunReport(pszBaseName, pszMachine, nArgs, ppArgs, DIGCF_PRESENT, 0); }
DEVCTL_HANDLER(CmdFindAll) { return RunReport(pszBaseName, pszMachine, nArgs, ppArgs, 0, 0); }
DEVCTL_HANDLER(CmdHwIds) {
  return RunReport(pszBaseName, pszMachine, nArgs, ppArgs, DIGCF_PRESENT, DETAIL_DESCRIPTION | DETAIL_HWIDS);
}
DEVCTL_HANDLER(CmdResources) {
  return RunReport(pszBaseName, pszMachine, nArgs, ppArgs, DIGCF_PRESENT, DETAIL_DESCRIPTION | DETAIL_RESOURCES);
}
DEVCTL_HANDLER(CmdStack) {
  return RunReport(pszBaseName, pszMachine, nArgs, ppArgs, DIGCF_PRESENT,
                   DETAIL_DESCRIPTION | DETAIL_CLASS | DETAIL_STACK);
}
DEVCTL_HANDLER(CmdDriverFiles) {
  if (pszMachine != nullptr) return ENGINE_USAGE;
  return RunReport(pszBaseName, nullptr, nArgs, ppArgs, DIGCF_PRESENT, DETAIL_DESCRIPTION | DETAIL_DRIVER_FILES);
}
DEVCTL_HANDLER(CmdDriverNodes) {
  if (pszMachine != nullptr) return ENGINE_USAGE;
  return RunReport(pszBaseName, nullptr, nArgs, ppArgs, DIGCF_PRESENT, DETAIL_DESCRIPTION | DETAIL_DRIVER_NODES);
}

DEVCTL_HANDLER(CmdHelp) { return ENGINE_OK; }

DEVCTL_HANDLER(CmdClasses) {
  std::vector<GUID> guids;
  try {
    guids.assign(128, GUID());
    for (;;) {
      DWORD required = 0;
      if (SetupDiBuildClassInfoListExW(0, guids.data(), static_cast<DWORD>(guids.size()), &required, pszMachine,
                                       nullptr))
        return ENGINE_OK;
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= guids.size()) return ENGINE_FAIL;
      guids.assign(required, GUID());
    }
  } catch (const std::bad_alloc&) {
    return ENGINE_FAIL;
  }
}

DEVCTL_HANDLER(CmdListClass) {
  if (nArgs <= 0) return ENGINE_USAGE;
  try {
    for (int i = 0; i < nArgs; ++i) {
      if (ppArgs[i][0] == 0) continue;
      std::vector<GUID> guids;
      if (!ClassGuidsFromName(ppArgs[i], pszMachine, &guids, 16)) return ENGINE_FAIL;
      for (const GUID& guid : guids) {
        DevInfoSet set(SetupDiGetClassDevsExW(&guid, nullptr, nullptr, DIGCF_PRESENT, nullptr, pszMachine, nullptr));
        if (!set.IsValid()) continue;
        // Name and description of the class head its listing on a console;
        // the capture buffer carries device records only.
        WCHAR className[MAX_CLASS_NAME_LEN];
        if (!SetupDiClassNameFromGuidExW(&guid, className, MAX_CLASS_NAME_LEN, nullptr, pszMachine, nullptr)) {
          className[0] = '?';
          className[1] = 0;
        }
        WCHAR classDescription[LINE_LEN];
        if (!SetupDiGetClassDescriptionExW(&guid, classDescription, LINE_LEN, nullptr, pszMachine, nullptr))
          memcpy(classDescription, className, sizeof(className));
        for (DWORD index = 0;; ++index) {
          SP_DEVINFO_DATA data;
          memset(&data, 0, sizeof(data));
          data.cbSize = sizeof(data);
          if (!SetupDiEnumDeviceInfo(set.Get(), index, &data)) break;
          PropertyString description = ReadDeviceDescription(set.Get(), &data);
          AppendDeviceRecord(set.Get(), &data, description.get());
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return ENGINE_FAIL;
  }
  return ENGINE_OK;
}

DEVCTL_HANDLER(CmdRescan) {
  MachineConnection connection;
  if (pszMachine != nullptr) {
    HMACHINE machine = nullptr;
    if (CM_Connect_MachineW(pszMachine, &machine) != CR_SUCCESS) return ENGINE_FAIL;
    connection.Reset(machine);
  }
  DEVINST root = 0;
  if (CM_Locate_DevNode_ExW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL, connection.Get()) != CR_SUCCESS)
    return ENGINE_FAIL;
  if (CM_Reenumerate_DevNode_Ex(root, 0, connection.Get()) != CR_SUCCESS) return ENGINE_FAIL;
  return ENGINE_OK;
}

DEVCTL_HANDLER(CmdReboot) {
  if (pszMachine != nullptr) return ENGINE_USAGE;
  return RebootSystem() ? ENGINE_OK : ENGINE_FAIL;
}

}  // namespace devctl

using namespace devctl;

bool RebootSystem() {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    KernelHandle owner(token);
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof(privileges));
    // Spelled out wide: SE_SHUTDOWN_NAME is narrow in a non-Unicode build.
    if (LookupPrivilegeValueW(nullptr, WIDE("SeShutdownPrivilege"), &privileges.Privileges[0].Luid)) {
      privileges.PrivilegeCount = 1;
      privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      // Without the privilege the request below fails and says so.
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
  }
  return ExitWindowsEx(EWX_REBOOT, kRebootReason) != FALSE;
}

// ---- Command table and dispatcher -------------------------------------------------------------

const CommandEntry g_commandTable[] = {
    {WIDE("classfilter"), CmdClassFilter},
    {WIDE("classes"), CmdClasses},
    {WIDE("disable"), CmdDisable},
    {WIDE("driverfiles"), CmdDriverFiles},
    {WIDE("drivernodes"), CmdDriverNodes},
    {WIDE("enable"), CmdEnable},
    {WIDE("find"), CmdFind},
    {WIDE("findall"), CmdFindAll},
    {WIDE("help"), CmdHelp},
    {WIDE("hwids"), CmdHwIds},
    {WIDE("install"), CmdInstall},
    {WIDE("listclass"), CmdListClass},
    {WIDE("reboot"), CmdReboot},
    {WIDE("remove"), CmdRemove},
    {WIDE("rescan"), CmdRescan},
    {WIDE("resources"), CmdResources},
    {WIDE("restart"), CmdRestart},
    {WIDE("sethwid"), CmdSetHwId},
    {WIDE("stack"), CmdStack},
    {WIDE("status"), CmdStatus},
    {WIDE("update"), CmdUpdate},
    {WIDE("updateni"), CmdUpdateNi},
    {WIDE("?"), CmdHelp},
    {nullptr, nullptr},
};

EngineResult DispatchCommand(int argc, const WCHAR* const* argv) {
  EngineCommandLine line;
  if (ParseEngineCommandLine(argc, argv, &line) != ENGINE_OK) return ENGINE_USAGE;
  for (const CommandEntry* entry = g_commandTable; entry->pszCommand != nullptr; ++entry) {
    if (!EqualNoCase(line.pszCommand, entry->pszCommand)) continue;
    EngineResult result = entry->pfnHandler(line.pszBaseName, line.pszMachine, line.nArgs, line.ppArgs);
    if (result == ENGINE_REBOOT && line.bAutoReboot) RebootSystem();
    return result;
  }
  return ENGINE_USAGE;
}
