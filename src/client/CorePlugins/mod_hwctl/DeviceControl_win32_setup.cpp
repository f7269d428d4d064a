// Setup commands of the device control engine: a class's filter-driver list
// (classfilter), the hardware IDs of root-enumerated devices (sethwid), and
// driver installation and update from an INF file (install, update, updateni).
// The list edits themselves are portable (DeviceControl_portable.cpp).
#include <cstring>
#include <new>

#include "DeviceControl_win32.h"
#include "DeviceControl_win32_internal.h"

// newdev.h is not part of the platform header; the one flag used is fixed.
#ifndef INSTALLFLAG_FORCE
#define INSTALLFLAG_FORCE 0x00000001
#endif

namespace devctl {
namespace {

typedef BOOL(WINAPI* UpdateDriverFn)(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath, DWORD InstallFlags,
                                     PBOOL bRebootRequired);
typedef BOOL(WINAPI* SetNonInteractiveModeFn)(BOOL NonInteractiveFlag);

// Read and write access to a class key (KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY).
const REGSAM kClassKeyReadWrite = 0x2001F;
const DWORD kFilterFirstBytes = 8192;

// ---- Filter lists --------------------------------------------------------------

// A missing or unreadable value is an empty list.
std::vector<WString> ReadFilterList(HKEY key, const WCHAR* pszValue) {
  std::vector<BYTE> buffer(kFilterFirstBytes + 2 * sizeof(WCHAR), 0);
  DWORD type = 0;
  DWORD size = kFilterFirstBytes;
  LSTATUS status = RegQueryValueExW(key, pszValue, nullptr, &type, buffer.data(), &size);
  while (status == ERROR_MORE_DATA && type == REG_MULTI_SZ) {
    buffer.assign(size + 2 * sizeof(WCHAR), 0);
    status = RegQueryValueExW(key, pszValue, nullptr, &type, buffer.data(), &size);
  }
  if (status != ERROR_SUCCESS || type != REG_MULTI_SZ) return std::vector<WString>();
  return ParseMultiString(reinterpret_cast<const WCHAR*>(buffer.data()), size / sizeof(WCHAR));
}

bool IsInstalledService(const WCHAR* pszMachine, const WCHAR* pszName) {
  ServiceHandle manager(OpenSCManagerW(pszMachine, nullptr, GENERIC_READ));
  if (!manager.IsValid()) return false;
  ServiceHandle service(OpenServiceW(manager.Get(), pszName, GENERIC_READ));
  return service.IsValid();
}

// ---- sethwid ------------------------------------------------------------------------------

struct SetHwIdContext {
  int nOps;
  const WCHAR* const* ppOps;
};

EngineResult SetHwIdCallback(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD, void* pContext) {
  const SetHwIdContext* context = static_cast<const SetHwIdContext*>(pContext);
  WCHAR instanceId[ENGINE_MAX_DEVICE_ID_LEN];
  HMACHINE machine = nullptr;
  if (!ReadInstanceId(hDevInfo, pDevInfoData, instanceId, &machine)) return ENGINE_OK;
  ULONG status = 0;
  ULONG problem = 0;
  if (CM_Get_DevNode_Status_Ex(&status, &problem, pDevInfoData->DevInst, 0, machine) != CR_SUCCESS) return ENGINE_OK;
  // Only IDs that no bus driver reports can be rewritten.
  if ((status & DN_ROOT_ENUMERATED) == 0) return ENGINE_OK;

  try {
    std::vector<WString> list;
    {
      MultiStringList current = ReadMultiStringProperty(hDevInfo, pDevInfoData, SPDRP_HARDWAREID);
      if (current)
        for (WCHAR** p = current.get(); *p != nullptr; ++p) list.emplace_back(*p);
    }
    EngineResult edited = EditHardwareIds(&list, context->nOps, context->ppOps);
    if (edited != ENGINE_OK) return edited;
    // An empty list is written as no data, which deletes the property.
    BOOL written;
    if (list.empty()) {
      written = SetupDiSetDeviceRegistryPropertyW(hDevInfo, pDevInfoData, SPDRP_HARDWAREID, nullptr, 0);
    } else {
      WString block = BuildMultiString(list);
      written = SetupDiSetDeviceRegistryPropertyW(hDevInfo, pDevInfoData, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(block.data()),
                                                  static_cast<DWORD>(block.size() * sizeof(WCHAR)));
    }
    return written ? ENGINE_OK : ENGINE_FAIL;
  } catch (const std::bad_alloc&) {
    return ENGINE_FAIL;
  }
}

// ---- INF paths ----------------------------------------------------------------------------

// Absolute INF path of at most MAX_PATH - 1 characters.
bool FullInfPath(const WCHAR* pszInf, WCHAR* pszFull) {
  memset(pszFull, 0, MAX_PATH * sizeof(WCHAR));
  DWORD length = GetFullPathNameW(pszInf, MAX_PATH, pszFull, nullptr);
  return length != 0 && length < MAX_PATH;
}

}  // namespace

DEVCTL_HANDLER(CmdClassFilter) {
  if (nArgs < 2 || ppArgs[0][0] == 0) return ENGINE_USAGE;
  GUID classGuid;
  DWORD count = 0;
  if (!SetupDiClassGuidsFromNameExW(ppArgs[0], &classGuid, 1, &count, pszMachine, nullptr) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return ENGINE_FAIL;
  if (count == 0) return ENGINE_FAIL;

  const WCHAR* valueName;
  if (EqualNoCase(ppArgs[1], WIDE("upper")))
    valueName = WIDE("UpperFilters");
  else if (EqualNoCase(ppArgs[1], WIDE("lower")))
    valueName = WIDE("LowerFilters");
  else
    return ENGINE_USAGE;

  const int nOps = nArgs - 2;
  const WCHAR* const* ppOps = ppArgs + 2;
  RegKey key(SetupDiOpenClassRegKeyExW(&classGuid, nOps > 0 ? kClassKeyReadWrite : KEY_READ, DIOCR_INSTALLER,
                                       pszMachine, nullptr));
  if (!key.IsValid()) return ENGINE_FAIL;

  try {
    std::vector<WString> list = ReadFilterList(key.Get(), valueName);
    if (nOps == 0) return ENGINE_OK;

    bool modified = false;
    const EngineResult edited = EditFilterList(
        &list, nOps, ppOps, [pszMachine](const WString& name) { return IsInstalledService(pszMachine, name.c_str()); },
        &modified);
    if (edited != ENGINE_OK) return edited;
    if (!modified) return ENGINE_OK;

    LSTATUS status;
    if (list.empty()) {
      status = RegDeleteValueW(key.Get(), valueName);
      if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
      WString block = BuildMultiString(list);
      status = RegSetValueExW(key.Get(), valueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(block.data()),
                              static_cast<DWORD>(block.size() * sizeof(WCHAR)));
    }
    return status == ERROR_SUCCESS ? ENGINE_REBOOT : ENGINE_FAIL;
  } catch (const std::bad_alloc&) {
    return ENGINE_FAIL;
  }
}

DEVCTL_HANDLER(CmdSetHwId) {
  int split = -1;
  for (int i = 0; i < nArgs; ++i)
    if (ppArgs[i][0] == ':' && ppArgs[i][1] == '=' && ppArgs[i][2] == 0) {
      split = i;
      break;
    }
  if (split <= 0 || split >= nArgs - 1) return ENGINE_USAGE;
  SetHwIdContext context = {nArgs - split - 1, ppArgs + split + 1};
  return SelectDevices(pszBaseName, pszMachine, DIGCF_PRESENT, split, ppArgs, SetHwIdCallback, &context);
}

DEVCTL_HANDLER(CmdUpdate) {
  if (pszMachine != nullptr || nArgs < 2 || ppArgs[0][0] == 0 || ppArgs[1][0] == 0) return ENGINE_USAGE;
  WCHAR infPath[MAX_PATH];
  if (!FullInfPath(ppArgs[0], infPath) || GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES) return ENGINE_FAIL;

  // System libraries come from the system directory alone: a bare name
  // would find a newdev.dll planted beside the host first.
  Library newdev(LoadLibraryExA("newdev.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!newdev.IsValid()) return ENGINE_FAIL;
  UpdateDriverFn update = reinterpret_cast<UpdateDriverFn>(
      reinterpret_cast<void*>(GetProcAddress(newdev.Get(), "UpdateDriverForPlugAndPlayDevicesW")));
  if (update == nullptr) return ENGINE_FAIL;
  BOOL reboot = FALSE;
  if (!update(nullptr, ppArgs[1], infPath, INSTALLFLAG_FORCE, &reboot)) return ENGINE_FAIL;
  return reboot ? ENGINE_REBOOT : ENGINE_OK;
}

DEVCTL_HANDLER(CmdUpdateNi) {
  Library setupapi(LoadLibraryExA("setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  SetNonInteractiveModeFn setMode =
      setupapi.IsValid() ? reinterpret_cast<SetNonInteractiveModeFn>(
                               reinterpret_cast<void*>(GetProcAddress(setupapi.Get(), "SetupSetNonInteractiveMode")))
                         : nullptr;
  if (setMode == nullptr) return CmdUpdate(pszBaseName, pszMachine, nArgs, ppArgs);
  BOOL previous = setMode(TRUE);
  EngineResult result = CmdUpdate(pszBaseName, pszMachine, nArgs, ppArgs);
  setMode(previous);
  return result;
}

DEVCTL_HANDLER(CmdInstall) {
  if (pszMachine != nullptr || nArgs < 2 || ppArgs[0][0] == 0 || ppArgs[1][0] == 0) return ENGINE_USAGE;
  WCHAR infPath[MAX_PATH];
  if (!FullInfPath(ppArgs[0], infPath)) return ENGINE_FAIL;

  // One hardware ID followed by two terminators.
  const size_t kMaxHardwareId = 255;
  WCHAR hardwareIdList[LINE_LEN + 4];
  memset(hardwareIdList, 0, sizeof(hardwareIdList));
  size_t idLength = TextLength(ppArgs[1]);
  if (idLength > kMaxHardwareId) idLength = kMaxHardwareId;
  memcpy(hardwareIdList, ppArgs[1], idLength * sizeof(WCHAR));

  GUID classGuid;
  WCHAR className[MAX_CLASS_NAME_LEN];
  memset(className, 0, sizeof(className));
  if (!SetupDiGetINFClassW(infPath, &classGuid, className, MAX_CLASS_NAME_LEN, nullptr)) return ENGINE_FAIL;

  bool registered = false;
  {
    DevInfoSet set(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!set.IsValid()) return ENGINE_FAIL;
    SP_DEVINFO_DATA data;
    memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data);
    registered =
        SetupDiCreateDeviceInfoW(set.Get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &data) &&
        SetupDiSetDeviceRegistryPropertyW(set.Get(), &data, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE*>(hardwareIdList),
                                          static_cast<DWORD>((idLength + 2) * sizeof(WCHAR))) &&
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.Get(), &data);
  }
  // A registered device stays when the driver update fails.
  if (!registered) return ENGINE_FAIL;
  return CmdUpdate(pszBaseName, pszMachine, nArgs, ppArgs);
}

}  // namespace devctl
