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

device_list& device_manage::SelectList(uint32_t dwList) {
  return dwList == DEVICE_LIST_FORBID ? m_vecForbidDeviceInfo : m_vecEnableFailDeviceInfo;
}

uint32_t device_manage::IsInDeviceList(uint32_t dwList, const stDevice& device) {
  uint32_t bInList = SelectList(dwList).Find(device) ? 1 : 0;
  DIAG_LOG(LOG_INFO, "bInList = %d", static_cast<int>(bInList));
  return bInList;
}

void device_manage::EraseOneFromDeviceList(uint32_t dwList, const stDevice& device) {
  bool bErased = SelectList(dwList).EraseOne(device.strInstancePath);
  DIAG_LOG(LOG_INFO, "waishe ,%s invoked erase %s", bErased ? "do" : "do not", device.strInstancePath.c_str());
}

void device_manage::EnsureListsLoaded() {
  std::lock_guard<std::mutex> lock(m_mtxLoad);
  if (m_bListsLoaded) return;
  std::vector<stDevice> devices;
  if (!m_FileControl.ReadForbidDeviceInfoToVector(&devices)) devices.clear();
  m_vecForbidDeviceInfo.Replace(std::move(devices));
  m_DeviceFilter.InitExcludeDeviceList();
  m_DeviceFilter.InitControlClassGuid();
  m_bListsLoaded = true;
}

bool device_manage::SaveLists() {
  // Enable failures are the module's too: a restart must not forget them.
  std::vector<stDevice> devices = m_vecForbidDeviceInfo.Snapshot();
  for (const stDevice& entry : m_vecEnableFailDeviceInfo.Snapshot()) {
    bool listed = false;
    for (const stDevice& d : devices) listed = listed || d.strInstancePath == entry.strInstancePath;
    if (!listed) devices.push_back(entry);
  }
  return m_FileControl.WriteForbidDeviceInfoToFile(&devices);
}

void device_manage::NoteDeviceArrival(uint32_t dwTick) {
  uint32_t old = m_dwDeviceChangeTime.load(std::memory_order_relaxed);
  SetDeviceChangeTime(dwTick == old ? dwTick + 1 : dwTick);
  WakeDeviceThread();
}

void device_manage::WakeDeviceThread() {
  std::call_once(m_onceWake, [this] { m_hWake.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr)); });
  if (m_hWake.IsValid()) SetEvent(m_hWake.Get());
}

void device_manage::WaitForDeviceWork(unsigned long milliseconds) {
  std::call_once(m_onceWake, [this] { m_hWake.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr)); });
  if (!m_hWake.IsValid() || WaitForSingleObject(m_hWake.Get(), static_cast<DWORD>(milliseconds)) == WAIT_FAILED)
    Sleep(static_cast<DWORD>(milliseconds));
}
