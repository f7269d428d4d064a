// device_manage: construction, the bookkeeping of its two device lists, the
// pass lock, and the inventory with the strategy device IDs of a device.
#include "DeviceOpt.h"

#include <chrono>
#include <thread>

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

device_manage::Pass::Pass(device_manage& manage)
    : m_rank(std::in_place, LockRank::kPolicyPass), m_lock(manage.m_mtxPolicyPass) {}

device_manage::Pass::Pass(device_manage& manage, int iWithinMs) : m_lock(manage.m_mtxPolicyPass, std::defer_lock) {
  TakeWithin(iWithinMs);
}

void device_manage::Pass::Release() {
  if (m_lock.owns_lock()) m_lock.unlock();
  m_rank.reset();
}

bool device_manage::Pass::TakeWithin(int iWithinMs) {
  if (m_lock.owns_lock()) return true;
  m_rank.emplace(LockRank::kPolicyPass);
  // Polled, not a timed mutex: see m_mtxPolicyPass.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iWithinMs);
  while (!m_lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      m_rank.reset();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
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

// ---------------------------------------------------------------------------
// Inventory and classification

void device_manage::InitSysParamDeviceInfo() {
  if (m_bSysParamLoaded) return;
  m_bSysParamLoaded = true;
  eRet ret = m_SysParamDeviceInfo.Init();
  if (ret != RET_SUCCESS) DIAG_LOG(LOG_WARN, "system-parameter device definitions not loaded: 0x%llX", ret);
}

void device_manage::LoadDevice() {
  EnsureListsLoaded();
  DIAG_LOG(LOG_INFO, "m_vecForbidDeviceInfo = %d", static_cast<int>(m_vecForbidDeviceInfo.Size()));
}

void device_manage::ReLoadDevice() {
  g_vecDeviceInfo.clear();
  m_DeviceControl.FindDevices(&g_vecDeviceInfo);
  DIAG_LOG(LOG_INFO, "vecDeviceInfo = %d", static_cast<int>(g_vecDeviceInfo.size()));
}

void device_manage::GetDeviceIdList(const stDevice& device, std::vector<std::string>& vecDeviceId,
                                    std::vector<std::string>* pvecDefinition) {
  vecDeviceId.clear();
  if (pvecDefinition != nullptr) pvecDefinition->clear();
  std::vector<CSysParamDeviceInfo> fetched;
  if (!m_bPassCache) m_SysParamDeviceInfo.GetDeviceInfoList(&fetched);
  const std::vector<CSysParamDeviceInfo>& definitions = m_bPassCache ? m_vecPassDefinitions : fetched;
  for (const CSysParamDeviceInfo& definition : definitions) {
    const std::string& type = definition.strDeviceType;
    bool bApplies = type == DEVICE_CLASS_PORTABLE_TYPE ? device.strDeviceClassGuid == DEVICE_CLASS_WPD ||
                                                             device.strDeviceClassGuid == DEVICE_CLASS_PORTABLE_TYPE
                                                       : type == device.strDeviceClassGuid;
    if (bApplies && MatchWildcard(definition.strInstancePath, device.strInstancePath)) {
      vecDeviceId.push_back(definition.strDeviceID);
      if (pvecDefinition != nullptr) pvecDefinition->push_back(definition.strDeviceName);
      // Which definition gave which ID: an administrator reading the trace
      // needs it to see why a device counts as what it counts.
      DIAG_LOG(LOG_INFO, "device ID %s of %s: definition \"%s\" (type %s, instance %s)", definition.strDeviceID.c_str(),
               device.strInstancePath.c_str(), definition.strDeviceName.c_str(), type.c_str(),
               definition.strInstancePath.c_str());
    }
  }
  if (vecDeviceId.empty()) vecDeviceId.push_back(DEVICE_ID_UNDEFINED);
}

uint32_t device_manage::IsStrategyChanged() { return m_StrategyAnalyze.StrategyIsChange(); }

uint32_t device_manage::IsSysParamDeviceInfoChanged() {
  if (!m_SysParamDeviceInfo.IsDevInfoInSysParamFileChanged()) return 0;
  m_SysParamDeviceInfo.AnalysisDevInfoFromSysParamFile();
  return 1;
}
