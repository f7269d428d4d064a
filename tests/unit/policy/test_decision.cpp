// The decision rules on plain facts: what is done with a device for every
// verdict, state and list membership, and what is recorded and shown after.
#include <gtest/gtest.h>

#include <cstring>

#include "DeviceDecision.h"
#include "DeviceRecord.h"

namespace {

const uint32_t kOff = DEVICE_STATE_NOT_STARTED, kOn = DEVICE_STATE_RUNNING, kNone = DEVICE_STATE_UNCONTROLLABLE;

DeviceFacts Facts(bool forbid, uint32_t state, bool listed, bool disableable = true, bool guarded = false,
                  bool pending = false) {
  DeviceFacts f;
  f.bChangePending = pending;
  f.bForbid = forbid;
  f.dwState = state;
  f.bInForbidList = listed;
  f.bDisableable = disableable;
  f.bGuarded = guarded;
  f.bInHelper = f.bLog = f.bTip = true;
  return f;
}

std::string Tip(const DeviceActions& a) { return a.pszTip ? a.pszTip : ""; }

TEST(DecideDevice, WhatIsDoneBeforeAnyChange) {
  struct Row {
    DeviceFacts facts;
    DeviceStep step;
    DeviceReason reason;
    bool eraseForbid;
    std::string tip;
  } rows[] = {
      {Facts(true, kOn, false), DeviceStep::Disable, DeviceReason::Disabled, false, ""},
      {Facts(true, kOn, true), DeviceStep::Disable, DeviceReason::Disabled, false, ""},
      {Facts(true, kOff, false), DeviceStep::None, DeviceReason::AlreadyOff, false, DEVICE_TIP_FORBID},
      {Facts(true, kNone, true), DeviceStep::None, DeviceReason::NotControllable, false, ""},
      {Facts(true, kOn, false, false), DeviceStep::None, DeviceReason::NotDisableable, false, ""},
      {Facts(true, kOn, false, true, true), DeviceStep::None, DeviceReason::Guarded, false, ""},
      // Enabled again by someone else: nothing of the module's to undo.
      {Facts(false, kOn, true), DeviceStep::None, DeviceReason::Allowed, true, ""},
      // The module's disable waits for a restart: still the module's.
      {Facts(false, kOn, true, true, false, true), DeviceStep::None, DeviceReason::Allowed, false, ""},
      // Absent at the moment of the pass: the entry stays.
      {Facts(false, kNone, true), DeviceStep::None, DeviceReason::NotControllable, false, ""},
      // Disabled by someone else: left alone.
      {Facts(false, kOff, false), DeviceStep::None, DeviceReason::NotOurs, false, ""},
      {Facts(false, kOff, true), DeviceStep::Enable, DeviceReason::Enabled, false, ""},
  };
  for (const Row& row : rows) {
    DeviceActions a = DecideDevice(row.facts);
    SCOPED_TRACE(DeviceReasonName(row.reason));
    EXPECT_EQ(a.step, row.step);
    EXPECT_EQ(a.reason, row.reason);
    EXPECT_EQ(a.bEraseForbid, row.eraseForbid);
    EXPECT_FALSE(a.bAddForbid || a.bAddEnableFail || a.dwAudit);
    EXPECT_EQ(Tip(a), row.tip);
  }
}

TEST(ConcludeDevice, WhatIsRecordedAndShownAfterTheChange) {
  // Disabled and off: audited as forbidden, tipped, recorded.
  DeviceActions a = ConcludeDevice(Facts(true, kOn, false), {0, kOff});
  EXPECT_EQ(a.dwAudit, DEVICE_LOG_FORBID);
  EXPECT_EQ(Tip(a), DEVICE_TIP_FORBID);
  EXPECT_TRUE(a.bAddForbid);
  EXPECT_FALSE(a.bRepeatTip);
  // The class installer refused: the device still runs. Failed, not tipped,
  // recorded all the same so it is tried again.
  a = ConcludeDevice(Facts(true, kOn, false), {0, kOn});
  EXPECT_EQ(a.dwAudit, DEVICE_LOG_FORBID_FAILED);
  EXPECT_EQ(a.pszTip, nullptr);
  EXPECT_TRUE(a.bAddForbid);
  // The disable waits for a restart (a volume in use).
  a = ConcludeDevice(Facts(true, kOn, false), {1, kOn});
  EXPECT_EQ(a.dwAudit, DEVICE_LOG_FORBID_FAILED);
  EXPECT_TRUE(a.bAddForbid);

  // Enabled and running: forgotten, tipped.
  a = ConcludeDevice(Facts(false, kOff, true), {0, kOn});
  EXPECT_TRUE(a.bEraseForbid);
  EXPECT_FALSE(a.bAddEnableFail);
  EXPECT_EQ(Tip(a), DEVICE_TIP_ENABLE);
  // The engine said yes, the device is still off (a refusing installer), or
  // the enable waits for a restart: a failure, kept for a retry.
  for (DeviceOutcome o : {DeviceOutcome{0, kOff}, DeviceOutcome{1, kOff}, DeviceOutcome{2, kOff}}) {
    a = ConcludeDevice(Facts(false, kOff, true), o);
    EXPECT_EQ(a.reason, DeviceReason::EnableFailed);
    EXPECT_TRUE(a.bEraseForbid && a.bAddEnableFail);
    EXPECT_EQ(Tip(a), DEVICE_TIP_ENABLE_FAILED);
    EXPECT_EQ(a.dwAudit, 0u) << "an enable is never audited";
  }
  // A successful enable without a tip wanted is a success all the same.
  DeviceFacts noTip = Facts(false, kOff, true);
  noTip.bTip = false;
  a = ConcludeDevice(noTip, {0, kOn});
  EXPECT_FALSE(a.bAddEnableFail);
  EXPECT_EQ(a.pszTip, nullptr);
}

}  // namespace
