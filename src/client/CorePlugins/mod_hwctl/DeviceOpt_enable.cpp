// Enabling what the module disabled: before an uninstall, and when the
// policy says no device strategy applies. Rounds of enables, since a child
// disabled with its parent comes back only once the parent runs again.
#include <string>

#include "DeviceOpt.h"
#include "common/helper/VaultRes/VaultResHelper.h"
#include "common/helper/VaultShell/VaultShellHelper.h"
#include "common/util/DiagLog.h"
#include "common/util/WorkerThread.h"
#include "platform/winapi.h"

namespace {

const DWORD kNotifyEveryone = 0xFFFFFFFF;
const DWORD kNotifyWarning = 0x30;
const char kUninstallFailedKey[] = "DeviceManager.DeviceManager.Enable_ForbidDevice_Failed";
// Some listed devices could not be enabled: they stay in the file.
const eRet kUninstallIncomplete = 2;
// Rounds go on while an entry is pending, until nothing has changed for the
// settle time: a child may start seconds after its parent. The pause lets
// the devices brought back by the previous round start.
const uint32_t kUninstallRoundPauseMs = 1000;
const uint64_t kUninstallSettleMs = 10000;
// How long the uninstall waits for a policy pass under way; a pass stuck in
// the policy library must not keep the devices disabled.
const int kUninstallLockWaitMs = 5000;
// Problem number of a device disabled (CM_PROB_DISABLED).
const unsigned long kProblemDisabled = 22;

}  // namespace

std::vector<stDevice> device_manage::ListedDevices() {
  std::vector<stDevice> devices = m_vecForbidDeviceInfo.Snapshot();
  for (const stDevice& entry : m_vecEnableFailDeviceInfo.Snapshot()) {
    bool listed = false;
    for (const stDevice& d : devices) listed = listed || d.strInstancePath == entry.strInstancePath;
    if (!listed) devices.push_back(entry);
  }
  return devices;
}

device_manage::EnableResult device_manage::TryEnableListed(stDevice& entry, eRet& enabled, stDevice& now) {
  enabled = m_DeviceControl.EnableDevice(entry);
  if (enabled != RET_SUCCESS && enabled != ENGINE_REBOOT) enabled = m_DeviceControl.EnableDevice(entry);
  // Enabled in the configuration, applied when Windows restarts: nothing is
  // left for the module to do, the person only has to restart.
  if (enabled == ENGINE_REBOOT) return EnableResult::WaitsForRestart;
  bool bKnown = false;
  if (m_DeviceControl.ReadDevice(entry.strInstancePath, now, &bKnown) != RET_SUCCESS) return EnableResult::Unreadable;
  if (!bKnown) return EnableResult::Gone;
  // Disabled is what the module undoes: the problem and the profile flag say
  // so, whether or not the device then starts.
  const int configured = ConfiguredDisabled(entry.strInstancePath);
  if (now.dwStatus_Now == DEVICE_STATE_UNCONTROLLABLE)
    return configured == 0 ? EnableResult::Enabled : EnableResult::Absent;
  unsigned long problem = 0;
  if (configured != 0 || (DeviceProblem(entry.strInstancePath, &problem) && problem == kProblemDisabled))
    return EnableResult::StillDisabled;
  if (now.dwStatus_Now == DEVICE_STATE_RUNNING) return EnableResult::Enabled;
  DIAG_LOG(LOG_WARN, "%s is enabled but does not start (problem %lu)", entry.strInstancePath.c_str(), problem);
  return EnableResult::EnabledNotStarted;
}

device_manage::EnableResult device_manage::EnableListedDevice(stDevice& entry) {
  eRet enabled = RET_SUCCESS;
  stDevice now;
  EnableResult result = TryEnableListed(entry, enabled, now);
  const char* pszAction = nullptr;
  switch (result) {
    case EnableResult::Enabled:
    case EnableResult::EnabledNotStarted: pszAction = journal_action::kEnabled; break;
    case EnableResult::WaitsForRestart: pszAction = journal_action::kRestartPending; break;
    case EnableResult::StillDisabled: pszAction = journal_action::kEnableFailed; break;
    case EnableResult::Absent:
    case EnableResult::Unreadable: pszAction = journal_action::kKeptListed; break;
    case EnableResult::Gone: break;  // no device left to explain
  }
  if (pszAction != nullptr) {
    // The entry of a file read back knows its instance path only; the device
    // read after the enable names it.
    if (now.strInstancePath.empty()) now = entry;
    if (!now.strDeviceClassGuid.empty() && m_DeviceFilter.IsOtherDeviceClass(now.strDeviceClassGuid))
      now.strDeviceClassGuid = DEVICE_CLASS_OTHER;
    JournalDevice(now, DeviceVerdict(), pszAction, "", enabled, "");
  }
  return result;
}

std::vector<stDevice> device_manage::EnableInRounds(std::vector<stDevice> pending, bool& bRestartNeeded, Pass& pass,
                                                    bool bReleaseAtOnce) {
  uint64_t ullLastChange = GetTickCount64();
  for (;;) {
    std::vector<stDevice> left;
    bool bReleased = false;
    for (stDevice& entry : pending) {
      EnableResult result = EnableListedDevice(entry);
      if (result == EnableResult::WaitsForRestart) {
        DIAG_LOG(LOG_WARN, "%s is enabled when Windows restarts", entry.strInstancePath.c_str());
        bRestartNeeded = true;
      }
      if (result == EnableResult::Enabled || result == EnableResult::EnabledNotStarted ||
          result == EnableResult::WaitsForRestart) {
        ullLastChange = GetTickCount64();
        if (bReleaseAtOnce) {
          m_vecForbidDeviceInfo.EraseOne(entry.strInstancePath);
          m_vecEnableFailDeviceInfo.EraseOne(entry.strInstancePath);
          bReleased = true;
        }
        continue;
      }
      if (result == EnableResult::Gone) continue;  // no longer on the machine: nothing left to enable
      left.push_back(entry);
    }
    // An enabled device leaves the file now, not once a device that cannot
    // come back has been waited for.
    if (bReleased) SaveLists();
    pending.swap(left);
    if (pending.empty() || GetTickCount64() - ullLastChange >= kUninstallSettleMs) return pending;
    // Passes that take the lock meanwhile see m_dwUninstall, or find the
    // lists as this round left them.
    pass.Release();
    WorkerSleepMs(kUninstallRoundPauseMs);
    pass.TakeWithin(kUninstallLockWaitMs);
  }
}

void device_manage::ReportKeptEntries(const std::vector<stDevice>& kept) {
  for (const stDevice& entry : kept) {
    stDevice now;
    bool bKnown = false;
    if (m_DeviceControl.ReadDevice(entry.strInstancePath, now, &bKnown) == RET_SUCCESS &&
        now.dwStatus_Now == DEVICE_STATE_UNCONTROLLABLE)
      DIAG_LOG(LOG_ERROR,
               "%s is not on the machine and could not be enabled before the uninstall; it stays in the file",
               entry.strInstancePath.c_str());
    else
      DIAG_LOG(LOG_ERROR, "%s could not be enabled before the uninstall (0x%llX); it stays in the file",
               entry.strInstancePath.c_str(), kUninstallIncomplete);
  }
}

eRet device_manage::FinishUninstall(const std::vector<stDevice>& kept) {
  if (kept.empty()) {
    m_FileControl.DeleteForbidDeviceInfoFile();
    return RET_SUCCESS;
  }
  // What could not be enabled is all the file keeps: the next run (or the
  // agent's next attempt) finds exactly those.
  m_vecEnableFailDeviceInfo.Replace({});
  m_vecForbidDeviceInfo.Replace(kept);
  SaveLists();
  return kUninstallIncomplete;
}

eRet device_manage::EnableDeviceBeforeUninstall() {
  // Waits a bounded time for a pass under way; later passes see m_dwUninstall.
  // Without the lock the engine calls below are still safe (the facade runs
  // one at a time and the lists lock themselves), and a pass that resumes
  // checks m_dwUninstall before it disables or writes anything.
  Pass pass(*this, kUninstallLockWaitMs);
  if (!pass.Held()) DIAG_LOG(LOG_WARN, "a policy pass does not end: the uninstall goes on without waiting for it");
  // The device thread may not have read the file yet: what it lists is
  // enabled all the same.
  EnsureListsLoaded();
  bool bRestartNeeded = false;
  // A child disabled with its parent is off the machine until the parent runs
  // again: the rounds let each device be enabled itself, in whatever order
  // the file lists them.
  std::vector<stDevice> kept = EnableInRounds(ListedDevices(), bRestartNeeded, pass);
  ReportKeptEntries(kept);
  // Like every tip, only shown from the agent's helper process.
  if ((bRestartNeeded || !kept.empty()) && InVaultHelper())
    UI_Notify(kNotifyEveryone, kNotifyWarning, RES_GetString(kUninstallFailedKey).c_str());
  return FinishUninstall(kept);
}

eRet device_manage::EnableListedWithoutStrategy() {
  Pass pass(*this);
  if (GetUninstall() != 0) return RET_SUCCESS;
  EnsureListsLoaded();
  std::vector<stDevice> devices = ListedDevices();
  if (devices.empty()) return RET_SUCCESS;
  DIAG_LOG(LOG_INFO, "no device strategy applies to the session: %u listed devices are allowed",
           static_cast<unsigned>(devices.size()));
  bool bRestartNeeded = false;
  std::vector<stDevice> left = EnableInRounds(devices, bRestartNeeded, pass, true);
  // What is no longer disabled leaves both lists; the rest stays listed for
  // the next answer.
  for (const stDevice& entry : devices) {
    bool kept = false;
    for (const stDevice& l : left) kept = kept || l.strInstancePath == entry.strInstancePath;
    if (kept) continue;
    m_vecForbidDeviceInfo.EraseOne(entry.strInstancePath);
    m_vecEnableFailDeviceInfo.EraseOne(entry.strInstancePath);
  }
  for (const stDevice& entry : left)
    DIAG_LOG(LOG_ERROR, "%s could not be enabled although no strategy forbids it; it stays in the file",
             entry.strInstancePath.c_str());
  SaveLists();
  return left.empty() ? RET_SUCCESS : kUninstallIncomplete;
}
