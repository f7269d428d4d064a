// The fixed tables of the policy engine: the devices that are never touched
// (exclusion entries), the setup classes the policy controls and the resource
// keys of their localized names. Plain data and lookups, no state of a pass.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceRecord.h"

// Class GUID texts with a meaning of their own.
#define DEVICE_CLASS_OTHER "ffffffff-ffff-ffff-ffff-ffffffffffff"
#define DEVICE_CLASS_PORTABLE_TYPE "eeeeeeee-eeee-eeee-eeee-eeeeeeeeeeee"
#define DEVICE_CLASS_WPD "eec5ad98-8080-425f-922a-dabf3de3f69a"
#define DEVICE_CLASS_DISKDRIVE "4d36e967-e325-11ce-bfc1-08002be10318"
#define DEVICE_CLASS_USB "36fc9e60-c465-11cf-8056-444553540000"

class device_filter {
 public:
  device_filter();

  // Builds the 18 exclusion entries from the exclusion class table.
  void InitExcludeDeviceList();
  // Fills the controlled class set (17 classes).
  void InitControlClassGuid();
  // True when an exclusion entry of the device's class matches its instance
  // path and name.
  bool IsExcludeDevice(stDevice device);
  // The exclusion entry that matches the device, or null.
  const stDevice* FindExclusion(const stDevice& device) const;
  // True when the class (compared without case) is not a controlled one.
  bool IsOtherDeviceClass(std::string strClassGuid);

  stDevice m_stDevice;  // scratch record of InitExcludeDeviceList
  std::map<std::string, uint32_t> m_setControlClassGuid;
  std::vector<stDevice> m_vecExcludeDevice;
};

// The resource key of a class's localized name; "other devices" for a class
// the table does not name.
const char* ClassNameKey(const std::string& strClassGuid);
