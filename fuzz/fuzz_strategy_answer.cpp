// The strategy analysis on whatever the policy library answers: any result
// code, any value and action texts, any element values (zeros included, or
// none delivered), any change times. Checked against a plain reading of the
// answers: verdict, audit and tip flags and strategy ID come from whole-string
// comparisons of the delivered elements; a failed query clears everything and
// asks for no element; every element read gets an unchanged copy of its text;
// a change is reported exactly when the time (0 for a failed query) moves, and
// always while the library cannot be asked (the time then reads as 0).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <string>

#include "DeviceStrategyAnalyze.h"
#include "common/helper/StrategyOpt/StrategyOptHelper.h"
#include "fuzz_support.h"
#include "standin/standin_vaultstrategy.h"

namespace {

using fuzzsupport::Fail;

const char* const kActionKeys[] = {"logType_10", "needTip_10", "processMethod_10"};

eRet PickCode(FuzzedDataProvider& provider) {
  static const eRet kCodes[] = {0, 0, 0, 1, 0x211, 0x212};
  uint8_t pick = provider.ConsumeIntegralInRange<uint8_t>(0, 6);
  return pick < 6 ? kCodes[pick] : provider.ConsumeIntegral<eRet>();
}

// Mostly the words that count, in near-miss forms too; otherwise any bytes.
std::string PickValue(FuzzedDataProvider& provider) {
  static const char* const kWords[] = {"auditLog", "true", "forbid", "Forbid", "TRUE", "forbid ", "auditlog", ""};
  switch (provider.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: return kWords[provider.ConsumeIntegralInRange<size_t>(0, 7)];
    case 1: return std::string(kWords[provider.ConsumeIntegralInRange<size_t>(0, 2)]) + '\0' + "x";
    default: return provider.ConsumeRandomLengthString(40);
  }
}

FuzzAnswer PickAnswer(FuzzedDataProvider& provider) {
  FuzzAnswer answer;
  answer.code = PickCode(provider);
  answer.write = provider.ConsumeBool();
  answer.bytes = PickValue(provider);
  return answer;
}

std::string Delivered(const FuzzAnswer& answer) { return answer.write ? answer.bytes : std::string(); }

void Analyze(FuzzedDataProvider& provider, device_strategyanalyze& analyze) {
  FuzzStrategyScript& script = *FuzzStrategy();
  std::string deviceId = provider.ConsumeRandomLengthString(64);
  script.checkCode = provider.ConsumeBool() ? 0 : PickCode(provider);
  script.valueText = provider.ConsumeRandomLengthString(100);
  script.actionText = provider.ConsumeRandomLengthString(100);
  script.elements.clear();
  script.elements["id"] = PickAnswer(provider);
  for (const char* key : kActionKeys) script.elements[key] = PickAnswer(provider);
  script.checkCalls = 0;
  script.textCalls.clear();

  uint32_t verdict = analyze.AnlyzeActFromStrategy(deviceId);

  if (script.checkCalls != 1) Fail("not one strategy query per device ID");
  const std::string conditions = "deviceId_10=" + deviceId + ";";
  if (script.checkArguments != std::vector<std::string>{"1", std::to_string(STRATEGY_TYPE_DEVICE), "0", conditions})
    Fail("strategy query arguments");
  if (script.checkCode != 0) {
    if (verdict != 0 || analyze.m_bLog != 0 || analyze.m_bTip != 0 || !analyze.m_strStrategyId.empty())
      Fail("a failed query leaves a verdict, a flag or a strategy ID");
    if (!script.textCalls.empty()) Fail("elements read after a failed query");
    return;
  }
  if (script.textCalls.size() != 4) Fail("not four element reads");
  if (script.textCalls[0].key != "id" || script.textCalls[0].text != script.valueText)
    Fail("\"id\" not read from an unchanged copy of the value text");
  for (size_t i = 0; i < 3; ++i)
    if (script.textCalls[i + 1].key != kActionKeys[i] || script.textCalls[i + 1].text != script.actionText)
      Fail("action element not read, out of order, or from a changed copy");

  if (analyze.m_strStrategyId != Delivered(script.elements["id"])) Fail("strategy ID");
  if (analyze.m_bLog != (Delivered(script.elements["logType_10"]) == "auditLog" ? 1u : 0u)) Fail("audit flag");
  if (analyze.m_bTip != (Delivered(script.elements["needTip_10"]) == "true" ? 1u : 0u)) Fail("tip flag");
  if (verdict != (Delivered(script.elements["processMethod_10"]) == "forbid" ? 1u : 0u)) Fail("verdict");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::LoadMachineOnce();

  FuzzedDataProvider provider(data, size);
  device_strategyanalyze analyze;
  uint64_t lastTime = 0;
  for (int round = 0; round < 8 && provider.remaining_bytes() > 0; ++round) {
    if (provider.ConsumeBool()) {
      Analyze(provider, analyze);
      continue;
    }
    FuzzStrategyScript& script = *FuzzStrategy();
    script.timeCode = provider.ConsumeBool() ? 0 : PickCode(provider);
    script.time = provider.ConsumeBool() ? lastTime : provider.ConsumeIntegral<ULONGLONG>();
    uint64_t seen = script.timeCode == 0 ? script.time : 0;
    const bool outage = StrategyOptHelper::IsAdapterFailure(script.timeCode);
    uint32_t changed = analyze.StrategyIsChange();
    if (changed != (outage || seen != lastTime ? 1u : 0u)) Fail("change reported wrongly");
    lastTime = seen;
    if (analyze.m_ullLastChangeTime != lastTime) Fail("change time not kept");
  }
  // Nothing of this input outlives it: libFuzzer takes an input that keeps
  // memory for a leak and checks it at length.
  *FuzzStrategy() = FuzzStrategyScript();
  return 0;
}
