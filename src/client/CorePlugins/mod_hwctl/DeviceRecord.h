// The device record as the policy engine sees one device, and the narrow
// wildcard match used on record members.
#pragma once
#include <cstdint>
#include <string>

// Device node status flags that decide whether a device can be controlled.
#define DEVREC_DN_STARTED 0x00000008u
#define DEVREC_DN_NEED_RESTART 0x00000100u  // a change waits for a restart of Windows
#define DEVREC_DN_DISABLEABLE 0x00002000u
#define DEVREC_DN_REMOVABLE 0x00004000u
#define DEVREC_DN_NO_SHOW_IN_DM 0x40000000u

// Values of dwStatus_Now.
#define DEVICE_STATE_UNCONTROLLABLE 0u
#define DEVICE_STATE_RUNNING 1u
#define DEVICE_STATE_NOT_STARTED 2u

// One device; lists hold copies. Strings are in the local code page.
struct stDevice {
  std::string strDeviceID;         // hardware-ID pattern, ends with "*" once complete
  std::string strInstancePath;     // device instance ID: the device's identity
  std::string strDeviceName;       // friendly name, else description
  std::string strDeviceClassGuid;  // setup class GUID, lower case, no braces
  uint32_t dwStatus = 0;           // DN_* flags
  uint32_t dwStatus_Now = 0;       // 0 can't be controlled, 1 running, 2 not started

  std::string GetDeviceID() const { return strDeviceID; }
  void SetDeviceID(const std::string& value) { strDeviceID = value; }
  std::string GetInstancePath() const { return strInstancePath; }
  void SetInstancePath(const std::string& value) { strInstancePath = value; }
  std::string GetDeviceName() const { return strDeviceName; }
  void SetDeviceName(const std::string& value) { strDeviceName = value; }
  std::string GetDeviceClassGuid() const { return strDeviceClassGuid; }
  void SetDeviceClassGuid(const std::string& value) { strDeviceClassGuid = value; }
  uint32_t GetStatus() const { return dwStatus; }
  void SetStatus(uint32_t value) { dwStatus = value; }
  uint32_t GetStatus_Now() const { return dwStatus_Now; }
  void SetStatus_Now(uint32_t value) { dwStatus_Now = value; }

  // Empties the strings and zeroes both status members.
  void ResetDevice();
  // Derives strDeviceID (a pattern ending with "*") and dwStatus_Now once the
  // members the engine reports are set.
  void CompleteDevice();
};

// dwStatus_Now for a set of DN_* flags.
uint32_t DeviceStateFromStatus(uint32_t dwStatus);

// Case-sensitive match, byte by byte: "*" matches any run, "?" zero or one
// character. Time is bounded by pattern length x text length.
bool MatchWildcard(const std::string& pattern, const std::string& text);
