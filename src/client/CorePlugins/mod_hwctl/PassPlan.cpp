#include "PassPlan.h"

#include "DeviceOpt_filter.h"

bool LeftForLaterPass(const stDevice& device) {
  return device.strDeviceClassGuid == DEVICE_CLASS_DISKDRIVE && device.dwStatus_Now == DEVICE_STATE_UNCONTROLLABLE;
}

std::vector<PassStep> PlanPass(const PassSnapshot& snapshot) {
  std::vector<PassStep> steps;
  if (snapshot.eOutage != 0) return steps;
  for (size_t i = 0; i < snapshot.devices.size(); ++i) {
    const PassDevice& d = snapshot.devices[i];
    PassStep step;
    step.iDevice = i;
    if (!d.strExclusion.empty()) {
      step.kind = PassStepKind::Exclude;
    } else if (LeftForLaterPass(d.device)) {
      continue;
    } else {
      step.planned = DecideDevice(d.facts);
    }
    steps.push_back(step);
  }
  return steps;
}

bool SameFacts(const DeviceFacts& a, const DeviceFacts& b) {
  return a.bForbid == b.bForbid && a.dwState == b.dwState && a.bDisableable == b.bDisableable &&
         a.bInForbidList == b.bInForbidList && a.bChangePending == b.bChangePending && a.bInHelper == b.bInHelper;
}
