// The five-line text form of the device record.
#include "DeviceRecordCodec.h"

#include <cstdio>

namespace {

const WCHAR kLineFeed = '\n';

void AppendDecimal(int32_t value, WString* pText) {
  char digits[16];
  int n = snprintf(digits, sizeof(digits), "%d", value);
  for (int i = 0; i < n; ++i) pText->push_back(static_cast<WCHAR>(digits[i]));
}

// Leading white space skipped, reading stops at the first non-digit, no
// digits read as 0; a negative number wraps as the writer's cast did.
uint32_t ParseStatus(const WString& field) {
  const WCHAR* p = field.c_str();
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  return negative ? 0u - value : value;
}

bool IsHighSurrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// Devices name themselves, so a name may hold any unit. A control character
// (a line feed or a zero unit above all, which end a field) is written as a
// space: one record per device whatever its texts, and the reader, the audit
// and the tip all see the same visible name.
bool IsControl(WCHAR unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

void AppendVisible(const WCHAR* pUnits, size_t count, WString* pText) {
  for (size_t i = 0; i < count; ++i) pText->push_back(IsControl(pUnits[i]) ? WCHAR(' ') : pUnits[i]);
}

}  // namespace

void AppendDeviceRecordText(const DeviceRecordText& record, WString* pText) {
  WString status;
  AppendDecimal(static_cast<int32_t>(record.dwStatus), &status);
  // Every line feed and the status stay, so a long record never runs into the
  // next one; the fields give up room from the least telling one on.
  size_t room = DEVICE_RECORD_MAX_UNITS - 5 - status.size();
  const WString* const fields[4] = {&record.strInstanceId, &record.strHardwareId, &record.strDescription,
                                    &record.strClassGuid};
  size_t keep[4];
  for (int i = 0; i < 4; ++i) keep[i] = fields[i]->size();
  static const int kGiveUpOrder[4] = {2, 1, 3, 0};
  size_t total = keep[0] + keep[1] + keep[2] + keep[3];
  for (int order = 0; order < 4 && total > room; ++order) {
    const int i = kGiveUpOrder[order];
    const size_t cut = total - room < keep[i] ? total - room : keep[i];
    keep[i] -= cut;
    total -= cut;
  }
  for (int i = 0; i < 4; ++i) {
    size_t units = keep[i];
    // Half a surrogate pair would read as no character at all.
    if (units < fields[i]->size() && units > 0 && IsHighSurrogate((*fields[i])[units - 1])) --units;
    AppendVisible(fields[i]->data(), units, pText);
    pText->push_back(kLineFeed);
  }
  *pText += status;
  pText->push_back(kLineFeed);
}

std::vector<DeviceRecordText> ParseDeviceRecordText(const WCHAR* pText, size_t length) {
  std::vector<DeviceRecordText> records;
  DeviceRecordText record;
  int index = 0;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (pText[i] != kLineFeed) continue;
    // Fields have always been read as C strings: a zero unit ends one early.
    size_t end = start;
    while (end < i && pText[end] != 0) ++end;
    WString field(pText + start, end - start);
    start = i + 1;
    switch (index) {
      case 0: record.strInstanceId.swap(field); break;
      case 1: record.strHardwareId.swap(field); break;
      case 2: record.strDescription.swap(field); break;
      case 3: record.strClassGuid.swap(field); break;
      default: record.dwStatus = ParseStatus(field); break;
    }
    if (++index < 5) continue;
    records.push_back(record);
    index = 0;
  }
  return records;
}

stDevice DeviceFromRecordText(const DeviceRecordText& record) {
  stDevice device;
  device.SetInstancePath(WideToAnsi(record.strInstanceId));
  device.SetDeviceID(WideToAnsi(record.strHardwareId));
  device.SetDeviceName(WideToAnsi(record.strDescription));
  device.SetDeviceClassGuid(WideToAnsi(record.strClassGuid));
  device.SetStatus(record.dwStatus);
  return device;
}
