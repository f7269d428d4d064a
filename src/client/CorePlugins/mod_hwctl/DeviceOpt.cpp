// device_manage: construction and the bookkeeping of its two device lists.
#include "DeviceOpt.h"

#include "common/util/DiagLog.h"
#include "platform/winapi.h"

// Built while the module is loaded: the constructor must reach no companion
// library and no registry (on Windows it runs inside the loader's lock).
device_manage g_DeviceManage;

device_manage::device_manage()
    : m_dwUninstall(0), m_dwDeviceChangeTime(0), m_dwDeviceChanged(0), m_bSysParamLoaded(false) {
  // A load-time stamp that differs from the workers' initial 0, so that each
  // worker handles the state at start on its first pass.
  SetDeviceChangeTime(GetTickCount());
}

std::vector<stDevice>& device_manage::SelectList(uint32_t dwList) {
  return dwList == DEVICE_LIST_FORBID ? m_vecForbidDeviceInfo : m_vecEnableFailDeviceInfo;
}

std::mutex& device_manage::SelectMutex(uint32_t dwList) {
  return dwList == DEVICE_LIST_FORBID ? m_mtxForbid : m_mtxEnableFail;
}

uint32_t device_manage::FindInDeviceList(uint32_t dwList, const stDevice& device, size_t& nPosition) {
  std::vector<stDevice>& list = SelectList(dwList);
  for (size_t i = 0; i < list.size(); ++i) {
    stDevice& entry = list[i];
    if (entry.strInstancePath != device.strInstancePath) continue;
    // An entry read back from the file knows only its instance path.
    if (entry.strDeviceClassGuid.empty()) {
      entry.strDeviceID = device.strDeviceID;
      entry.strDeviceClassGuid = device.strDeviceClassGuid;
      entry.strDeviceName = device.strDeviceName;
    }
    nPosition = i;
    return 1;
  }
  return 0;
}

uint32_t device_manage::IsInDeviceList(uint32_t dwList, const stDevice& device) {
  uint32_t bInList = 0;
  {
    std::lock_guard<std::mutex> lock(SelectMutex(dwList));
    size_t nPosition = 0;
    bInList = FindInDeviceList(dwList, device, nPosition);
  }
  DIAG_LOG(LOG_INFO, "bInList = %d", static_cast<int>(bInList));
  return bInList;
}

void device_manage::EraseOneFromDeviceList(uint32_t dwList, const stDevice& device) {
  bool bErased = false;
  {
    std::lock_guard<std::mutex> lock(SelectMutex(dwList));
    size_t nPosition = 0;
    if (FindInDeviceList(dwList, device, nPosition)) {
      std::vector<stDevice>& list = SelectList(dwList);
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(nPosition));
      bErased = true;
    }
  }
  DIAG_LOG(LOG_INFO, "waishe ,%s invoked erase %s", bErased ? "do" : "do not", device.strInstancePath.c_str());
}
