// The device record's text form. Any text reads without fault, as exactly as
// many records as it holds whole groups of five line feeds, each field free of
// line feeds and zero units; the facade's conversion of each record runs too.
// Records built from fuzzed fields read back, after writing, as the same
// fields, whatever follows the last one; a record too long for the writer is
// cut at its limit, loses its last line feed and reads as none.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "DeviceRecordCodec.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::Fail;

// Four fields this long and the status fit one record with room to spare.
const size_t kMaxFieldUnits = 200;
// A description this long can push a record past the writer's cut.
const size_t kMaxLongFieldUnits = 1200;
const size_t kMaxRecords = 8;

bool HoldsBreak(const WString& field) {
  for (WCHAR unit : field)
    if (unit == '\n' || unit == 0) return true;
  return false;
}

void CheckParse(const uint8_t* data, size_t size) {
  std::vector<WCHAR> text(size / sizeof(WCHAR));
  if (!text.empty()) memcpy(text.data(), data, text.size() * sizeof(WCHAR));
  size_t lineFeeds = 0;
  for (WCHAR unit : text)
    if (unit == '\n') ++lineFeeds;
  std::vector<DeviceRecordText> records = ParseDeviceRecordText(text.data(), text.size());
  if (records.size() != lineFeeds / 5) Fail("not one record per five line feeds");
  for (const DeviceRecordText& record : records) {
    if (HoldsBreak(record.strInstanceId) || HoldsBreak(record.strHardwareId) || HoldsBreak(record.strDescription) ||
        HoldsBreak(record.strClassGuid))
      Fail("a field holds a line feed or a zero unit");
    stDevice device = DeviceFromRecordText(record);
    device.CompleteDevice();
  }
}

// Any units but the two that end a field.
WString PickField(FuzzedDataProvider& provider, size_t maxUnits) {
  WString field(provider.ConsumeIntegralInRange<size_t>(0, maxUnits), WCHAR(0));
  for (WCHAR& unit : field) {
    unit = static_cast<WCHAR>(provider.ConsumeIntegral<uint16_t>());
    if (unit == '\n' || unit == 0) unit = '?';
  }
  return field;
}

DeviceRecordText PickRecord(FuzzedDataProvider& provider, size_t maxDescriptionUnits) {
  DeviceRecordText record;
  record.strInstanceId = PickField(provider, kMaxFieldUnits);
  record.strHardwareId = PickField(provider, kMaxFieldUnits);
  record.strDescription = PickField(provider, maxDescriptionUnits);
  record.strClassGuid = PickField(provider, kMaxFieldUnits);
  record.dwStatus = provider.ConsumeIntegral<uint32_t>();
  return record;
}

void CheckRoundTrip(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  std::vector<DeviceRecordText> written(provider.ConsumeIntegralInRange<size_t>(0, kMaxRecords));
  WString text;
  for (DeviceRecordText& record : written) {
    record = PickRecord(provider, kMaxFieldUnits);
    AppendDeviceRecordText(record, &text);
  }
  // Whatever follows the last line feed is no record.
  text += PickField(provider, kMaxFieldUnits);
  if (!(ParseDeviceRecordText(text.data(), text.size()) == written)) Fail("records read back differ");

  const DeviceRecordText longRecord = PickRecord(provider, kMaxLongFieldUnits);
  WString longText;
  AppendDeviceRecordText(longRecord, &longText);
  std::vector<DeviceRecordText> read = ParseDeviceRecordText(longText.data(), longText.size());
  if (longText.size() > DEVICE_RECORD_MAX_UNITS) Fail("a record beyond the cut");
  size_t lineFeeds = 0;
  for (WCHAR unit : longText)
    if (unit == '\n') ++lineFeeds;
  const bool whole = lineFeeds == 5;
  if (!whole && longText.size() != DEVICE_RECORD_MAX_UNITS) Fail("a record cut short of the limit");
  if (whole ? !(read.size() == 1 && read[0] == longRecord) : !read.empty()) Fail("a long record read back wrongly");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::LoadMachineOnce();
  CheckParse(data, size);
  CheckRoundTrip(data, size);
  return 0;
}
