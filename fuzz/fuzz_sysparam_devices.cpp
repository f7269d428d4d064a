// The system-parameter device definitions parsed from whatever the policy
// library answers: any configuration text, any count (or none written), any
// element values (zeros included, or none delivered). Checked against a plain
// model: empty text or no entries gives 0x2302 and keeps the old list; else
// one entry per index up to the first whose four reads all fail (the group
// ends there), each field the delivered bytes up to the first zero,
// the instance path with every "\\" pair made one "\" (scanning on behind each
// replacement); every call gets an unchanged copy of the text, in the order
// name, type, instance, ID per entry.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DeviceInformation.h"
#include "fuzz_support.h"
#include "standin/standin_vaultstrategy.h"

namespace {

using fuzzsupport::Fail;

const char* const kKeys[] = {"deviceName_10", "deviceType_10", "deviceInstance_10", "deviceId_10"};
// Entries a configuration may name here: the parser allocates one per count.
const DWORD kMaxCount = 40;

std::string UpToZero(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

std::string ReducePairs(std::string text) {
  for (size_t at = text.find("\\\\"); at != std::string::npos; at = text.find("\\\\", at + 1)) text.erase(at, 1);
  return text;
}

// Bytes rich in backslashes, where the instance path rule bites.
std::string PickBytes(FuzzedDataProvider& provider) {
  std::string bytes = provider.ConsumeRandomLengthString(48);
  if (provider.ConsumeBool())
    for (char& c : bytes)
      if ((c & 3) == 0) c = '\\';
  return bytes;
}

void CheckParse(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  FuzzStrategyScript& script = *FuzzStrategy();
  script.countCode = provider.ConsumeBool() ? 0 : provider.ConsumeIntegral<eRet>();
  script.countWrites = provider.ConsumeIntegralInRange<int>(0, 7) != 0;
  script.count = provider.ConsumeIntegralInRange<DWORD>(0, kMaxCount);
  script.configElements.clear();
  for (DWORD i = 0; i < script.count; ++i)
    for (const char* key : kKeys) {
      FuzzAnswer& answer = script.configElements[{i, key}];
      answer.code = provider.ConsumeBool() ? 0 : 1;
      answer.write = provider.ConsumeIntegralInRange<int>(0, 5) != 0;
      answer.bytes = PickBytes(provider);
    }
  const std::string text = provider.ConsumeRemainingBytesAsString();
  script.countCalls = 0;
  script.countTexts.clear();
  script.textCalls.clear();

  // A list from an earlier parse, which a failing parse must keep.
  CSysParamDeviceInfo info;
  info.m_vecDeviceInfo.resize(1);
  info.m_vecDeviceInfo[0].strDeviceID = "EARLIER";
  eRet result = info.ParseDeviceInformation(text);

  const std::string passed = text + '\0';
  const DWORD counted = script.countWrites ? script.count : 0;
  if (text.empty() || counted == 0) {
    if (result != RET_SYSPARAM_EMPTY_PARSE) Fail("empty text or no entries is not 0x2302");
    if (info.m_vecDeviceInfo.size() != 1 || info.m_vecDeviceInfo[0].strDeviceID != "EARLIER")
      Fail("a failing parse changed the list");
    if (script.countCalls != (text.empty() ? 0 : 1) || !script.textCalls.empty()) Fail("calls after a failed parse");
    return;
  }
  if (result != 0) Fail("a parse with entries failed");
  DWORD count = 0;
  while (count < counted) {
    bool found = false;
    for (const char* key : kKeys) found = found || script.configElements[{count, key}].code == 0;
    if (!found) break;
    ++count;
  }
  if (script.countTexts.size() != 1 || script.countTexts[0] != passed) Fail("count asked of a changed text");
  if (info.m_vecDeviceInfo.size() != count) Fail("not one entry per index");
  // The entry that ends the group was read too.
  const DWORD reads = (count < counted ? count + 1 : count) * 4;
  if (script.textCalls.size() != reads) Fail("not four element reads per entry");
  for (DWORD i = 0; i < count; ++i) {
    std::string fields[4];
    for (int k = 0; k < 4; ++k) {
      const FuzzTextCall& call = script.textCalls[i * 4 + k];
      if (call.index != i || call.key != kKeys[k] || call.text != passed)
        Fail("element read out of order or of a changed text");
      const FuzzAnswer& answer = script.configElements[{i, kKeys[k]}];
      fields[k] = answer.write ? UpToZero(answer.bytes) : std::string();
    }
    const CSysParamDeviceInfo& entry = info.m_vecDeviceInfo[i];
    if (entry.strDeviceName != fields[0] || entry.strDeviceType != fields[1] || entry.strDeviceID != fields[3])
      Fail("a field differs from the delivered value");
    if (entry.strInstancePath != ReducePairs(fields[2])) Fail("instance path backslashes");
    if (!entry.m_vecDeviceInfo.empty()) Fail("an entry holds a list");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::LoadMachineOnce();
  CheckParse(data, size);
  // Nothing of this input outlives it: libFuzzer takes an input that keeps
  // memory for a leak and checks it at length.
  *FuzzStrategy() = FuzzStrategyScript();
  return 0;
}
