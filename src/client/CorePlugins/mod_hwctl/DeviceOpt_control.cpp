// Control by strategy: the forbid/enable decision per device, re-applying the
// lists after hardware changes, and undoing everything before an uninstall.
#include <cstring>
#include <set>
#include <string>

#include "DeviceOpt.h"
#include "common/helper/VaultRes/VaultResHelper.h"
#include "common/helper/VaultShell/VaultShellHelper.h"
#include "common/util/DiagLog.h"
#include "platform/winapi.h"

namespace {

const DWORD kNotifyEveryone = 0xFFFFFFFF;
const DWORD kNotifyWarning = 0x30;
const char kUninstallFailedKey[] = "DeviceManager.DeviceManager.Enable_ForbidDevice_Failed";

// Audit records and tips belong to the agent's helper process only.
bool InVaultHelper() {
  const char* pszCommandLine = GetCommandLineA();
  return pszCommandLine != nullptr && strstr(pszCommandLine, "vaulthelper.exe") != nullptr;
}

}  // namespace

eRet device_manage::ControlDeviceByStrategy() {
  std::lock_guard<std::mutex> pass(m_mtxPolicyPass);
  // The uninstall action may have run while this thread waited for the lock:
  // a pass now would disable devices and write the file it just deleted.
  if (GetUninstall() != 0) {
    DIAG_LOG(LOG_INFO, "uninstall under way, no pass");
    return RET_SUCCESS;
  }

  for (stDevice& device : g_vecDeviceInfo) {
    if (m_DeviceFilter.IsExcludeDevice(device)) {
      EraseOneFromDeviceList(DEVICE_LIST_FORBID, device);
      continue;
    }
    if (m_DeviceFilter.IsOtherDeviceClass(device.strDeviceClassGuid)) {
      DIAG_LOG(LOG_INFO, "DeviceName = %s, DeviceGuid = %s", device.strInstancePath.c_str(),
               device.strDeviceClassGuid.c_str());
      device.strDeviceClassGuid = DEVICE_CLASS_OTHER;
    }
    if (device.strDeviceClassGuid == DEVICE_CLASS_DISKDRIVE && device.dwStatus_Now == DEVICE_STATE_UNCONTROLLABLE) {
      EraseOneFromDeviceList(DEVICE_LIST_FORBID, device);
      continue;
    }

    std::vector<std::string> vecDeviceId;
    GetDeviceIdList(device, vecDeviceId);
    // The last ID's verdict and flags count.
    uint32_t bForbid = 0;
    for (const std::string& strDeviceId : vecDeviceId) bForbid = m_StrategyAnalyze.AnlyzeActFromStrategy(strDeviceId);
    std::string strStrategyId = m_StrategyAnalyze.GetStrategyId();
    Do_ForbidOrEnable(bForbid, device, m_StrategyAnalyze.GetLog(), m_StrategyAnalyze.GetTip(), strStrategyId);
  }

  // ReSetDevice may rewrite entries meanwhile: write a snapshot.
  std::vector<stDevice> vecForbid;
  {
    std::lock_guard<std::mutex> lock(m_mtxForbid);
    vecForbid = m_vecForbidDeviceInfo;
  }
  m_FileControl.WriteForbidDeviceInfoToFile(&vecForbid);
  return RET_SUCCESS;
}

eRet device_manage::Do_ForbidOrEnable(uint32_t bForbid, stDevice& device, uint32_t bLog, uint32_t bTip,
                                      std::string& strStrategyId) {
  eRet ret = m_DeviceControl.QueryDeviceStatus(device);
  const bool bInVaulthelper = InVaultHelper();
  DIAG_LOG(LOG_INFO, "bForbid = %d, bInVaulthelper = %d, dev.dwStatus_Now = %d", static_cast<int>(bForbid),
           bInVaulthelper ? 1 : 0, static_cast<int>(device.dwStatus_Now));

  if (bForbid != 0) {
    if (device.dwStatus_Now == DEVICE_STATE_NOT_STARTED || (device.dwStatus & DEVREC_DN_DISABLEABLE) == 0 ||
        device.dwStatus_Now == DEVICE_STATE_UNCONTROLLABLE) {
      if (bTip && bInVaulthelper && device.dwStatus_Now == DEVICE_STATE_NOT_STARTED)
        NotifyDeviceTip("TIP_Forbid_DEVICE_NAME", device);
      return ret;
    }
    ret = m_DeviceControl.DisableDevice(device);
    if (ret != RET_SUCCESS) {
      if (bInVaulthelper && bLog) WriteDeviceLog(device, DEVICE_LOG_FORBID_FAILED, strStrategyId);
    } else {
      // The engine's success only says the device was found; its state tells.
      ret = m_DeviceControl.QueryDeviceStatus(device);
      if (bInVaulthelper && bLog) {
        bool bStillRuns = ret == RET_SUCCESS && device.dwStatus_Now == DEVICE_STATE_RUNNING;
        WriteDeviceLog(device, bStillRuns ? DEVICE_LOG_FORBID_FAILED : DEVICE_LOG_FORBID, strStrategyId);
      }
      if (bTip && bInVaulthelper && device.dwStatus_Now == DEVICE_STATE_NOT_STARTED)
        NotifyDeviceTip("TIP_Forbid_DEVICE_NAME", device);
    }
    // Recorded even when the disable failed: ReSetDevice tries again.
    // Only this thread appends, so nothing can slip in between the two locks.
    if (!IsInDeviceList(DEVICE_LIST_FORBID, device)) {
      std::lock_guard<std::mutex> lock(m_mtxForbid);
      m_vecForbidDeviceInfo.push_back(device);
    }
    return ret;
  }

  if (device.dwStatus_Now == DEVICE_STATE_RUNNING || device.dwStatus_Now == DEVICE_STATE_UNCONTROLLABLE) return ret;
  // Only devices this module disabled are enabled again.
  if (!IsInDeviceList(DEVICE_LIST_FORBID, device)) return ret;
  EraseOneFromDeviceList(DEVICE_LIST_FORBID, device);
  ret = m_DeviceControl.EnableDevice(device);
  if (ret != RET_SUCCESS) ret = m_DeviceControl.EnableDevice(device);
  if (ret == RET_SUCCESS && bTip) {
    if (bInVaulthelper) {
      DIAG_LOG(LOG_INFO, "EnableDevice success");
      NotifyDeviceTip("TIP_Enable_DEVICE_NAME", device);
    }
    return ret;
  }
  if (bInVaulthelper && bTip) NotifyDeviceTip("TIP_ENABLE_FAILED_DEVICE_NAME", device);
  if (!IsInDeviceList(DEVICE_LIST_ENABLEFAIL, device)) {
    std::lock_guard<std::mutex> lock(m_mtxEnableFail);
    m_vecEnableFailDeviceInfo.push_back(device);
  }
  return ret;
}

void device_manage::ReSetDevice() {
  // Runs between policy passes, never during one: a pass may be disabling a
  // device that the enable-failure list still names.
  std::lock_guard<std::mutex> pass(m_mtxPolicyPass);
  // A device re-enabled without a tip stays in the enable-failure list; when the
  // policy forbids it again it is in both lists, and enabling it here would undo
  // the disable of the forbidden list (and flap on every arrival). Forbidden
  // devices are therefore left to the forbidden list.
  std::set<std::string> forbidden;
  {
    std::lock_guard<std::mutex> lock(m_mtxForbid);
    for (stDevice& entry : m_vecForbidDeviceInfo) {
      forbidden.insert(entry.strInstancePath);
      // An entry read back from the file carries only its instance path until
      // a policy pass has matched it with the inventory; until then it may be
      // a device that must never be touched (a root hub listed by an older
      // file). The first pass disables it again if the policy still forbids
      // it, so nothing is lost by waiting. Excluded devices are never disabled.
      if (entry.strDeviceClassGuid.empty() || m_DeviceFilter.IsExcludeDevice(entry)) continue;
      eRet status = m_DeviceControl.QueryDeviceStatus(entry);
      DIAG_LOG(LOG_INFO, "status : 0x%llX", status);
      if (status != RET_SUCCESS || entry.dwStatus_Now != DEVICE_STATE_RUNNING) continue;
      eRet disabled = m_DeviceControl.DisableDevice(entry);
      if (disabled == 1) {
        std::vector<stDevice> vecCycle;
        m_DeviceControl.RebootUsbDevice(entry, &vecCycle);
      } else if (disabled == RET_SUCCESS) {
        entry.dwStatus_Now = DEVICE_STATE_NOT_STARTED;
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(m_mtxEnableFail);
    for (size_t i = 0; i < m_vecEnableFailDeviceInfo.size();) {
      stDevice& entry = m_vecEnableFailDeviceInfo[i];
      if (forbidden.count(entry.strInstancePath) == 0 && m_DeviceControl.QueryDeviceStatus(entry) == RET_SUCCESS && entry.dwStatus_Now == DEVICE_STATE_NOT_STARTED &&
          m_DeviceControl.EnableDevice(entry) == RET_SUCCESS) {
        entry.dwStatus_Now = DEVICE_STATE_RUNNING;
        // The next entry moves into this place and is looked at next.
        m_vecEnableFailDeviceInfo.erase(m_vecEnableFailDeviceInfo.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      ++i;
    }
  }
}

eRet device_manage::EnableDeviceBeforeUninstall() {
  // Waits for a pass that may be under way; later passes see m_dwUninstall.
  std::lock_guard<std::mutex> pass(m_mtxPolicyPass);
  eRet ret = RET_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(m_mtxForbid);
    for (stDevice& entry : m_vecForbidDeviceInfo) ret = m_DeviceControl.EnableDevice(entry);
  }
  // Like every tip, only shown from the agent's helper process.
  if (ret != RET_SUCCESS && InVaultHelper())
    UI_Notify(kNotifyEveryone, kNotifyWarning, RES_GetString(kUninstallFailedKey).c_str());
  {
    std::lock_guard<std::mutex> lock(m_mtxEnableFail);
    for (stDevice& entry : m_vecEnableFailDeviceInfo) ret = m_DeviceControl.EnableDevice(entry);
  }
  m_FileControl.DeleteForbidDeviceInfoFile();
  return ret;
}
