// The device record's text form. Any text reads without fault, as exactly as
// many records as it holds whole groups of five line feeds, each field free of
// line feeds and zero units; the facade's conversion of each record runs too.
// Records built from fields of any code points, line feeds, zero units and
// other control characters included, read back after writing as one record
// each, whatever follows the last one: the same fields with every control
// character a space, and only a description that does not fit cut short.
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

// Code points of the whole range, as UTF-16 (a surrogate code point stands
// for itself, as a lone half of a pair would).
WString PickField(FuzzedDataProvider& provider, size_t maxUnits) {
  WString field;
  const size_t target = provider.ConsumeIntegralInRange<size_t>(0, maxUnits);
  while (field.size() < target) {
    // Control characters and line feeds often, the rest of the range too.
    uint32_t point = provider.ConsumeBool() ? provider.ConsumeIntegralInRange<uint32_t>(0, 0xA0)
                                            : provider.ConsumeIntegralInRange<uint32_t>(0, 0x10FFFF);
    if (point >= 0x10000) {
      point -= 0x10000;
      field.push_back(static_cast<WCHAR>(0xD800 + (point >> 10)));
      field.push_back(static_cast<WCHAR>(0xDC00 + (point & 0x3FF)));
    } else {
      field.push_back(static_cast<WCHAR>(point));
    }
  }
  return field;
}

WString Visible(const WString& field) {
  WString shown = field;
  for (WCHAR& unit : shown)
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) unit = ' ';
  return shown;
}

bool IsPrefix(const WString& part, const WString& whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

DeviceRecordText PickRecord(FuzzedDataProvider& provider) {
  DeviceRecordText record;
  record.strInstanceId = PickField(provider, kMaxFieldUnits);
  record.strHardwareId = PickField(provider, kMaxFieldUnits);
  record.strDescription = PickField(provider, provider.ConsumeBool() ? kMaxLongFieldUnits : kMaxFieldUnits);
  record.strClassGuid = PickField(provider, kMaxFieldUnits);
  record.dwStatus = provider.ConsumeIntegral<uint32_t>();
  return record;
}

void CheckRoundTrip(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  std::vector<DeviceRecordText> written(provider.ConsumeIntegralInRange<size_t>(0, kMaxRecords));
  WString text;
  for (DeviceRecordText& record : written) {
    record = PickRecord(provider);
    const size_t before = text.size();
    AppendDeviceRecordText(record, &text);
    if (text.size() - before > DEVICE_RECORD_MAX_UNITS) Fail("a record beyond the limit");
  }
  // Whatever follows the last line feed is no record.
  WString tail = PickField(provider, kMaxFieldUnits);
  for (WCHAR& unit : tail)
    if (unit == '\n') unit = '?';
  text += tail;
  std::vector<DeviceRecordText> read = ParseDeviceRecordText(text.data(), text.size());
  if (read.size() != written.size()) Fail("not one record per device written");
  for (size_t i = 0; i < read.size() && i < written.size(); ++i) {
    const DeviceRecordText& in = written[i];
    const DeviceRecordText& out = read[i];
    if (out.strInstanceId != Visible(in.strInstanceId) || out.strHardwareId != Visible(in.strHardwareId) ||
        out.strClassGuid != Visible(in.strClassGuid) || out.dwStatus != in.dwStatus)
      Fail("a record read back differs");
    // Only a description too long for the record is cut, and then to a prefix.
    const WString description = Visible(in.strDescription);
    if (in.strDescription.size() <= kMaxFieldUnits ? out.strDescription != description
                                                    : !IsPrefix(out.strDescription, description))
      Fail("a description read back differs");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::LoadMachineOnce();
  CheckParse(data, size);
  CheckRoundTrip(data, size);
  return 0;
}
