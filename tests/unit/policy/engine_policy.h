// The policy both test files use: device definitions and one forbidding
// strategy for session 3 (the local user's in the scratch installation).
#pragma once

namespace enginetest {

// Definition order matters: the stick gets [STICK-ID, USB-DEV] and is
// forbidden by the last; TWO gets [USB-DEV, NOPOLICY] and is not.
const char* const kPolicy = R"({
  "strategies": [
    {"id": 1024, "type": "0x10030001", "sessions": [3], "conditions": {"deviceId_10": "USB-DEV"},
     "action": {"processMethod_10": "forbid", "logType_10": "auditLog", "needTip_10": "true"}}
  ],
  "sysParams": {"0x20060001": [
    {"deviceName_10": "stick", "deviceType_10": "36fc9e60-c465-11cf-8056-444553540000",
     "deviceInstance_10": "USB\\\\VID_0781*", "deviceId_10": "STICK-ID"},
    {"deviceName_10": "usb", "deviceType_10": "36fc9e60-c465-11cf-8056-444553540000",
     "deviceInstance_10": "USB\\\\VID_*", "deviceId_10": "USB-DEV"},
    {"deviceName_10": "two", "deviceType_10": "36fc9e60-c465-11cf-8056-444553540000",
     "deviceInstance_10": "USB\\\\VID_7777*", "deviceId_10": "NOPOLICY"},
    {"deviceName_10": "phones", "deviceType_10": "eeeeeeee-eeee-eeee-eeee-eeeeeeeeeeee",
     "deviceInstance_10": "SWD\\\\*", "deviceId_10": "PORTABLE"},
    {"deviceName_10": "others", "deviceType_10": "ffffffff-ffff-ffff-ffff-ffffffffffff",
     "deviceInstance_10": "*", "deviceId_10": "OTHER"}
  ]}
})";

}  // namespace enginetest
