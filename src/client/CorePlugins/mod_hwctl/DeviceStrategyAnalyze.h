// Reads the device-control strategy for one strategy device ID at a time and
// tells whether the policy changed since the last look.
#pragma once
#include <cstdint>
#include <string>

class device_strategyanalyze {
 public:
  device_strategyanalyze();

  // 1 = forbid the device, 0 = don't; sets m_bLog, m_bTip and m_strStrategyId,
  // and m_eOutage when the library could not be asked (then 0 is no answer).
  uint32_t AnlyzeActFromStrategy(std::string strDeviceId);
  // 1 when the policy's change time differs from the one seen last time, and
  // while the library cannot be asked (each pass retries).
  uint32_t StrategyIsChange();

  uint32_t GetLog() const { return m_bLog; }
  uint32_t GetTip() const { return m_bTip; }
  std::string GetStrategyId() const { return m_strStrategyId; }

  uint32_t m_bLog;
  uint32_t m_bTip;
  std::string m_strStrategyId;
  uint64_t m_ullLastChangeTime;
  uint64_t m_eOutage = 0;
};
