// What the policy engine does with one device, as a pure function of plain
// facts: the verdict, the device's state, its list memberships and the
// context. Do_ForbidOrEnable only carries the answer out. The rules are those
// of control by strategy with the module's safety rules (README, "Safety
// rules"): a device the module disabled is never forgotten, an input device
// or hub never goes down because of the module.
#pragma once
#include <cstdint>

// Audit operate types of a forbid.
#define DEVICE_LOG_FORBID 0x50101u
#define DEVICE_LOG_FORBID_FAILED 0x50102u

// Tip resource keys.
#define DEVICE_TIP_FORBID "TIP_Forbid_DEVICE_NAME"
#define DEVICE_TIP_ENABLE "TIP_Enable_DEVICE_NAME"
#define DEVICE_TIP_ENABLE_FAILED "TIP_ENABLE_FAILED_DEVICE_NAME"
#define DEVICE_TIP_GUARDED "TIP_Guarded_DEVICE_NAME"

struct DeviceFacts {
  bool bForbid = false;         // the strategy's verdict
  uint32_t dwState = 0;         // dwStatus_Now after the status query
  bool bDisableable = false;    // DN_DISABLEABLE is set
  bool bGuarded = false;        // a USB hub, or its present subtree holds an input device, a hub or a network adapter
  bool bGuardSettled = false;   // guarded for good, not only while a first plug's functions are awaited
  bool bGuardNew = false;       // settled for the first time in this run
  bool bInForbidList = false;   // the module disabled it and has not enabled it since
  bool bChangePending = false;  // DN_NEED_RESTART: a change (a disable) waits for a restart
  bool bInHelper = false;       // inside the agent's helper process
  bool bLog = false;            // the strategy asks for an audit record
  bool bTip = false;            // the strategy asks for a tip
};

enum class DeviceStep { None, Disable, Enable };

// Why a device is left as it is, or what was done: the words of the
// decision trace.
enum class DeviceReason {
  Disabled,         // disabled now (or tried: see the audit code)
  AlreadyOff,       // forbidden and not started already
  NotControllable,  // state 0: not disableable nor removable, hidden, or absent
  NotDisableable,   // forbidden, running, but DN_DISABLEABLE is not set
  Guarded,          // forbidden, but it carries an input device, a hub or a network adapter
  Allowed,          // not forbidden; nothing of the module's to undo
  Enabled,          // not forbidden any more: enabled again
  EnableFailed,     // not forbidden any more: the enable did not take
  NotOurs,          // not forbidden, not started, disabled by someone else
};
const char* DeviceReasonName(DeviceReason reason);

struct DeviceActions {
  DeviceStep step = DeviceStep::None;
  DeviceReason reason = DeviceReason::Allowed;
  uint32_t dwAudit = 0;          // operate type of the audit record; 0: none
  const char* pszTip = nullptr;  // resource key of the tip; null: none
  bool bRepeatTip = false;       // the forbid tip of a device already off (held back when recent)
  bool bAddForbid = false;
  bool bEraseForbid = false;
  bool bAddEnableFail = false;
};

// What a state change came to.
struct DeviceOutcome {
  uint64_t ret = 0;           // the facade's result of the change (after one retry of an enable)
  uint32_t dwStateAfter = 0;  // dwStatus_Now read again afterwards
};

// Before any change: the step to take, or everything there is to do.
DeviceActions DecideDevice(const DeviceFacts& facts);
// After the step DecideDevice asked for: what to record and show.
DeviceActions ConcludeDevice(const DeviceFacts& facts, const DeviceOutcome& outcome);
// The journal's word for what came of a device: the reason, told apart by
// the engine's answer (a change Windows applies at its next restart, a
// disable the class installer refused) and by the forbidden list (a device
// left for later keeps its entry).
const char* JournalActionOf(const DeviceFacts& facts, const DeviceActions& actions, const DeviceOutcome& outcome);
