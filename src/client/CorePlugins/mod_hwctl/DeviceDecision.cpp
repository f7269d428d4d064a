#include "DeviceDecision.h"

#include "DecisionJournal.h"
#include "DeviceRecord.h"

const char* DeviceReasonName(DeviceReason reason) {
  switch (reason) {
    case DeviceReason::Disabled: return "disabled";
    case DeviceReason::AlreadyOff: return "already-off";
    case DeviceReason::NotControllable: return "not-controllable";
    case DeviceReason::NotDisableable: return "not-disableable";
    case DeviceReason::Guarded: return "guarded";
    case DeviceReason::Allowed: return "allowed";
    case DeviceReason::Enabled: return "enabled";
    case DeviceReason::EnableFailed: return "enable-failed";
    case DeviceReason::NotOurs: return "not-ours";
  }
  return "?";
}

DeviceActions DecideDevice(const DeviceFacts& f) {
  DeviceActions a;
  const bool tips = f.bTip && f.bInHelper;
  if (f.bForbid) {
    if (f.dwState == DEVICE_STATE_NOT_STARTED) {
      a.reason = DeviceReason::AlreadyOff;
      if (tips) a.pszTip = DEVICE_TIP_FORBID, a.bRepeatTip = true;
    } else if (f.dwState == DEVICE_STATE_UNCONTROLLABLE) {
      a.reason = DeviceReason::NotControllable;
    } else if (!f.bDisableable) {
      a.reason = DeviceReason::NotDisableable;
    } else if (f.bGuarded) {
      a.reason = DeviceReason::Guarded;
      // Left running against the policy: reports show it as a forbid that
      // failed, once a run, and the user is told why, once an hour.
      if (f.bGuardSettled) {
        if (f.bGuardNew && f.bLog && f.bInHelper) a.dwAudit = DEVICE_LOG_FORBID_FAILED;
        if (tips) a.pszTip = DEVICE_TIP_GUARDED, a.bRepeatTip = true;
      }
    } else {
      a.step = DeviceStep::Disable;
      a.reason = DeviceReason::Disabled;
    }
    return a;
  }
  if (f.dwState == DEVICE_STATE_RUNNING) {
    // Enabled again by someone else: nothing of the module's is left to undo.
    // Unless the module's disable waits for a restart: the device still runs
    // until then, and goes down after it.
    a.reason = DeviceReason::Allowed;
    a.bEraseForbid = f.bInForbidList && !f.bChangePending;
  } else if (f.dwState == DEVICE_STATE_UNCONTROLLABLE) {
    // Absent or unreadable at this moment: an entry stays until the device is
    // seen enabled or is gone from the machine.
    a.reason = DeviceReason::NotControllable;
  } else if (!f.bInForbidList) {
    a.reason = DeviceReason::NotOurs;  // only devices this module disabled are enabled
  } else {
    a.step = DeviceStep::Enable;
    a.reason = DeviceReason::Enabled;
  }
  return a;
}

DeviceActions ConcludeDevice(const DeviceFacts& f, const DeviceOutcome& o) {
  DeviceActions a = DecideDevice(f);
  const bool tips = f.bTip && f.bInHelper;
  const bool audit = f.bLog && f.bInHelper;
  if (a.step == DeviceStep::Disable) {
    // The engine's success only says the device was found; its state tells.
    bool bStillRuns = o.ret != 0 || o.dwStateAfter == DEVICE_STATE_RUNNING;
    if (audit) a.dwAudit = bStillRuns ? DEVICE_LOG_FORBID_FAILED : DEVICE_LOG_FORBID;
    if (o.ret == 0 && tips && o.dwStateAfter == DEVICE_STATE_NOT_STARTED) a.pszTip = DEVICE_TIP_FORBID;
    // Recorded even when the disable failed or waits for a restart: the
    // device is tried again, and enabled at uninstall.
    a.bAddForbid = true;
  } else if (a.step == DeviceStep::Enable) {
    a.bEraseForbid = true;
    // Enabled only when the device runs again: an installer that refuses,
    // or a change that waits for a restart, leaves it disabled.
    if (o.ret == 0 && o.dwStateAfter == DEVICE_STATE_RUNNING) {
      if (tips) a.pszTip = DEVICE_TIP_ENABLE;
    } else {
      a.reason = DeviceReason::EnableFailed;
      a.bAddEnableFail = true;
      if (tips) a.pszTip = DEVICE_TIP_ENABLE_FAILED;
    }
  }
  a.step = DeviceStep::None;
  return a;
}

const char* JournalActionOf(const DeviceFacts& f, const DeviceActions& a, const DeviceOutcome& o) {
  // The engine's answer for a change that waits for the next restart.
  const uint64_t kWaitsForRestart = 1;
  switch (a.reason) {
    case DeviceReason::Disabled:
      if (o.ret == kWaitsForRestart) return journal_action::kRestartPending;
      return o.ret != 0 || o.dwStateAfter == DEVICE_STATE_RUNNING ? journal_action::kDisableRefused
                                                                   : journal_action::kDisabled;
    case DeviceReason::AlreadyOff: return journal_action::kAlreadyOff;
    case DeviceReason::NotControllable:
      if (f.bInForbidList) return journal_action::kKeptListed;
      return f.bForbid ? journal_action::kNotDisableable : journal_action::kAllowed;
    case DeviceReason::NotDisableable: return journal_action::kNotDisableable;
    case DeviceReason::Guarded: return journal_action::kGuarded;
    case DeviceReason::Allowed:
      return f.bInForbidList && f.bChangePending ? journal_action::kRestartPending : journal_action::kAllowed;
    case DeviceReason::Enabled: return journal_action::kEnabled;
    case DeviceReason::EnableFailed:
      return o.ret == kWaitsForRestart ? journal_action::kRestartPending : journal_action::kEnableFailed;
    case DeviceReason::NotOurs: return journal_action::kAllowed;
  }
  return journal_action::kAllowed;
}
