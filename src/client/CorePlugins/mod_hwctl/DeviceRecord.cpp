// The device record and the narrow wildcard match.
#include "DeviceRecord.h"

#include <vector>

namespace {
// A device without hardware ID is known by the first two components of its
// instance path (ROOT\LEGACY_BEEP\0000 -> ROOT\LEGACY_BEEP), at most this long.
const size_t kMaxDerivedIdLength = 30;
}  // namespace

void stDevice::ResetDevice() {
  strDeviceID.clear();
  strInstancePath.clear();
  strDeviceName.clear();
  strDeviceClassGuid.clear();
  dwStatus = 0;
  dwStatus_Now = 0;
}

uint32_t DeviceStateFromStatus(uint32_t dwStatus) {
  // Either flag makes a device controllable: internal radios and cameras are
  // disableable without being removable.
  if ((dwStatus & (DEVREC_DN_DISABLEABLE | DEVREC_DN_REMOVABLE)) == 0) return DEVICE_STATE_UNCONTROLLABLE;
  if (dwStatus & DEVREC_DN_NO_SHOW_IN_DM) return DEVICE_STATE_UNCONTROLLABLE;
  if (dwStatus & DEVREC_DN_STARTED) return DEVICE_STATE_RUNNING;
  return DEVICE_STATE_NOT_STARTED;
}

void stDevice::CompleteDevice() {
  if (strDeviceID.empty()) {
    strDeviceID = strInstancePath;
    size_t first = strDeviceID.find('\\');
    if (first != 0) {
      // Without a second backslash (the engine's "?" for an unreadable
      // instance ID, say) there is no cut point: the whole path is kept.
      size_t second = first == std::string::npos ? std::string::npos : strDeviceID.find('\\', first + 1);
      if (second != std::string::npos) strDeviceID.resize(second);
      if (strDeviceID.size() > kMaxDerivedIdLength) strDeviceID.resize(kMaxDerivedIdLength);
    }
  }
  strDeviceID += '*';
  dwStatus_Now = DeviceStateFromStatus(dwStatus);
}

// Equivalent to the recursive reading of the rule ("?" first tries to match
// nothing, "*" tries every later place) but iterative: reach[i] says whether
// the pattern read so far can end at text position i. Patterns come from
// administrators, so a run like "*?*?*?x" must not cost exponential time.
bool MatchWildcard(const std::string& pattern, const std::string& text) {
  const size_t n = text.size();
  std::vector<char> reach(n + 1, 0);
  reach[0] = 1;
  for (size_t p = 0; p < pattern.size(); ++p) {
    const char c = pattern[p];
    if (c == '*') {
      for (size_t i = 1; i <= n; ++i) reach[i] = reach[i] || reach[i - 1];
    } else if (c == '?') {
      for (size_t i = n; i >= 1; --i) reach[i] = reach[i] || reach[i - 1];
    } else {
      for (size_t i = n; i >= 1; --i) reach[i] = reach[i - 1] && text[i - 1] == c;
      reach[0] = 0;
    }
    // Nothing reachable: no later pattern character can help.
    bool any = false;
    for (size_t i = 0; i <= n && !any; ++i) any = reach[i] != 0;
    if (!any) return false;
  }
  return reach[n] != 0;
}
