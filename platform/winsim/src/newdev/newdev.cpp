// newdev.dll: driver updates for Plug and Play devices. A library of its own,
// loaded at run time as on Windows; the work is done by winsim's device tree.
#include "../devices.h"

WINSIM_API BOOL UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR HardwareId, LPCWSTR FullInfPath, DWORD InstallFlags,
                                                   PBOOL bRebootRequired) {
  try {
    return winsim::internal::UpdateDriverForDevices(HardwareId, FullInfPath, InstallFlags, bRebootRequired);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}
