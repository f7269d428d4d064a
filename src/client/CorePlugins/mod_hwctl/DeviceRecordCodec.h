// The device record as text: the five-line UTF-16 form in which the engine
// reports a device and the facade reads it back. Writer and reader live here
// together so that the two sides cannot drift apart.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "DeviceRecord.h"
#include "common/util/WString.h"

// The fields of one record, in the order of its lines.
struct DeviceRecordText {
  WString strInstanceId;   // "?" when the engine could not read it
  WString strHardwareId;   // first hardware ID, empty when there is none
  WString strDescription;  // friendly name, device description or instance ID
  WString strClassGuid;    // lower case, no braces
  uint32_t dwStatus = 0;   // DN_* flags; the text carries them as a signed decimal
};
inline bool operator==(const DeviceRecordText& a, const DeviceRecordText& b) {
  return a.strInstanceId == b.strInstanceId && a.strHardwareId == b.strHardwareId &&
         a.strDescription == b.strDescription && a.strClassGuid == b.strClassGuid && a.dwStatus == b.dwStatus;
}

// Units of one record at most, its five line feeds included.
const size_t DEVICE_RECORD_MAX_UNITS = 999;

// Appends "instance\nhardware id\ndescription\nclass guid\nstatus\n": always
// exactly one record. Control characters (U+0000 to U+001F, U+007F to U+009F)
// are written as spaces. A record longer than DEVICE_RECORD_MAX_UNITS has its
// fields cut, the description first, then the hardware ID, the class GUID and
// last the instance ID; the status and the line feeds are always whole.
void AppendDeviceRecordText(const DeviceRecordText& record, WString* pText);

// The records of `length` units of text, in order: five fields per record,
// each ended by a line feed. Text behind the last line feed and an
// incomplete last group are dropped.
std::vector<DeviceRecordText> ParseDeviceRecordText(const WCHAR* pText, size_t length);

// The record with its texts in the local code page, not yet completed.
stDevice DeviceFromRecordText(const DeviceRecordText& record);
