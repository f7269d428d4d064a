// A policy pass in three parts: gather (device_manage reads the inventory,
// the definitions and the strategy's verdicts once, under the pass lock),
// plan (PlanPass below, a pure function of what was gathered), act (the
// executor in device_manage keeps the safe order per device: list, write the
// file, disable, verify, audit, tip).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "DeviceDecision.h"
#include "DeviceRecord.h"
#include "common/util/ResultCode.h"

// The strategy's answer for one device: the verdict and the flags of its
// last strategy device ID.
struct DeviceVerdict {
  uint32_t bForbid = 0;
  uint32_t bLog = 0;
  uint32_t bTip = 0;
  std::string strStrategyId;
  std::vector<std::string> vecDeviceId;
  std::vector<std::string> vecDefinition;  // the definitions that gave the IDs
  // Not 0 when the policy library could not be asked (not loaded, a call
  // that failed inside the adapter): no verdict at all, not an "allow".
  eRet eOutage = 0;
};

// One device of the inventory as the pass found it.
struct PassDevice {
  stDevice device;           // its class mapped to DEVICE_CLASS_OTHER when outside the controlled ones
  std::string strExclusion;  // the exclusion entry it matches; "" when none
  DeviceVerdict verdict;     // asked only for devices that are judged
  DeviceFacts facts;         // the decision's facts as gathered, the guard asked where a disable would follow
  bool bGuardAsked = false;
  std::string strGuard;  // what it carries when guarded
};

struct PassSnapshot {
  std::vector<PassDevice> devices;
  // The policy library could not be asked: nothing is planned.
  eRet eOutage = 0;
};

enum class PassStepKind {
  Exclude,  // an excluded device: it leaves the forbidden list, untouched
  Judge,    // a judged device: the planned actions, unless its state moved
};

struct PassStep {
  PassStepKind kind = PassStepKind::Judge;
  size_t iDevice = 0;  // index into PassSnapshot::devices
  DeviceActions planned;
};

// A disk that cannot be controlled right now (pulled out while still in the
// inventory) is left for a later pass; its entry, if any, stays.
bool LeftForLaterPass(const stDevice& device);

// The steps of a pass in inventory order; none while the library is out.
// After the steps the executor forgets the entries of devices the machine no
// longer knows and writes the file.
std::vector<PassStep> PlanPass(const PassSnapshot& snapshot);

// Whether what the executor reads just before a step still matches what the
// plan was made on: a parent disabled earlier in the pass takes its children
// off with it, and their planned step no longer holds.
bool SameFacts(const DeviceFacts& planned, const DeviceFacts& now);
