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

}  // namespace

void AppendDeviceRecordText(const DeviceRecordText& record, WString* pText) {
  const size_t start = pText->size();
  *pText += record.strInstanceId;
  pText->push_back(kLineFeed);
  *pText += record.strHardwareId;
  pText->push_back(kLineFeed);
  *pText += record.strDescription;
  pText->push_back(kLineFeed);
  *pText += record.strClassGuid;
  pText->push_back(kLineFeed);
  AppendDecimal(static_cast<int32_t>(record.dwStatus), pText);
  pText->push_back(kLineFeed);
  if (pText->size() - start > DEVICE_RECORD_MAX_UNITS) pText->resize(start + DEVICE_RECORD_MAX_UNITS);
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
