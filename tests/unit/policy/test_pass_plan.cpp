// A pass's plan on plain data: which devices get a step, in what order, and
// when the executor must decide again instead of following it.
#include <gtest/gtest.h>

#include "DeviceOpt_filter.h"
#include "PassPlan.h"

namespace {

PassDevice Device(const char* path, const char* cls, uint32_t state, bool forbid) {
  PassDevice d;
  d.device.strInstancePath = path;
  d.device.strDeviceClassGuid = cls;
  d.device.dwStatus_Now = state;
  d.verdict.bForbid = forbid;
  d.facts.bForbid = forbid;
  d.facts.dwState = state;
  d.facts.bDisableable = true;
  return d;
}

TEST(PassPlan, StepsInInventoryOrderAndNoneWithoutAnAnswer) {
  PassSnapshot snapshot;
  snapshot.devices.push_back(Device("USB\\STICK", DEVICE_CLASS_DISKDRIVE, DEVICE_STATE_RUNNING, true));
  PassDevice excluded = Device("USB\\KEYS", DEVICE_CLASS_USB, DEVICE_STATE_RUNNING, false);
  excluded.strExclusion = "class x";
  snapshot.devices.push_back(excluded);
  // A disk pulled out while still in the inventory waits for a later pass.
  snapshot.devices.push_back(Device("USB\\GONE", DEVICE_CLASS_DISKDRIVE, DEVICE_STATE_UNCONTROLLABLE, true));
  PassDevice guarded = Device("USB\\HUB", DEVICE_CLASS_USB, DEVICE_STATE_RUNNING, true);
  guarded.facts.bGuarded = true;
  snapshot.devices.push_back(guarded);

  std::vector<PassStep> steps = PlanPass(snapshot);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].iDevice, 0u);
  EXPECT_EQ(steps[0].kind, PassStepKind::Judge);
  EXPECT_EQ(steps[0].planned.step, DeviceStep::Disable);
  EXPECT_EQ(steps[1].kind, PassStepKind::Exclude);
  EXPECT_EQ(steps[2].iDevice, 3u);
  EXPECT_EQ(steps[2].planned.step, DeviceStep::None);
  EXPECT_EQ(steps[2].planned.reason, DeviceReason::Guarded);

  // No answer is not an "allow": nothing at all is planned.
  snapshot.eOutage = 0x80004005;
  EXPECT_TRUE(PlanPass(snapshot).empty());
}

TEST(PassPlan, AStateThatMovedUnderThePassInvalidatesItsStep) {
  const DeviceFacts planned = Device("USB\\CHILD", DEVICE_CLASS_USB, DEVICE_STATE_RUNNING, true).facts;
  DeviceFacts now = planned;
  now.bGuarded = true;  // the guard is asked once per pass, not compared
  EXPECT_TRUE(SameFacts(planned, now));
  // Its parent was disabled earlier in the pass: a disable planned on it
  // would be a second one, and its tip and audit would be wrong.
  now.dwState = DEVICE_STATE_NOT_STARTED;
  EXPECT_FALSE(SameFacts(planned, now));
  now = planned;
  now.bInForbidList = true;
  EXPECT_FALSE(SameFacts(planned, now));
  now = planned;
  now.bChangePending = true;
  EXPECT_FALSE(SameFacts(planned, now));
}

}  // namespace
