// The decision journal: one compact JSON object per line in
// tpmlog\decisions_device.jsonl under the installation directory, saying for
// each judged device what the module decided and why - the verdict, the
// strategy and the device IDs and definitions that gave it, the exclusion or
// guard that kept it, what was done and the engine's answer. A line is written
// only when a device's outcome differs from the last line written for it in
// this run, so a quiet pass writes nothing. Administrators and whatif read it;
// nothing in the module reads it back.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/util/LineFile.h"

// The words of the `action` member.
namespace journal_action {
constexpr const char* kDisabled = "disabled";
constexpr const char* kAlreadyOff = "already-off";
constexpr const char* kExcluded = "excluded";
constexpr const char* kGuarded = "guarded";
constexpr const char* kAllowed = "allowed";
constexpr const char* kEnabled = "enabled";
constexpr const char* kNotDisableable = "not-disableable";
constexpr const char* kDisableRefused = "disable-refused";
constexpr const char* kEnableFailed = "enable-failed";
constexpr const char* kRestartPending = "restart-pending";
constexpr const char* kKeptListed = "kept-listed";
}  // namespace journal_action

// One device's outcome. Texts are in the local code page, as the module
// keeps them; the line is UTF-8.
struct DeviceDecisionLine {
  std::string strInstanceId;
  std::string strName;
  std::string strClassGuid;
  bool bForbid = false;
  std::string strStrategy;                  // "" when no strategy answered
  std::vector<std::string> vecDeviceIds;    // the strategy device IDs asked
  std::vector<std::string> vecDefinitions;  // the definitions that gave them
  std::string strExclusion;                 // the matching exclusion entry
  std::string strGuard;                     // what it carries, when guarded
  const char* pszAction = journal_action::kAllowed;
  uint64_t ret = 0;  // the engine's result of the step taken
};

// The JSON object of a line: `time` (milliseconds since 1970) first, then
// the members in the order of DeviceDecisionLine.
std::string FormatDecisionLine(const DeviceDecisionLine& line, int64_t llTimeMs);

class decision_journal {
 public:
  decision_journal() = default;
  decision_journal(const decision_journal&) = delete;
  decision_journal& operator=(const decision_journal&) = delete;

  // Appends the line unless it says what the last line of this device in
  // this run said. True when a line was written.
  bool Record(const DeviceDecisionLine& line);
  // Forgets what was written (a new run of the module writes again).
  void Reset();
  // The file; by default tpmlog\decisions_device.jsonl under the
  // installation directory, found at the first line.
  void SetPath(const std::string& path);

 private:
  std::mutex m_mtx;
  // Instance ID -> the last line written, as it compares (the same outcome
  // told in one word, no result).
  std::map<std::string, DeviceDecisionLine> m_mapLast;
  std::unique_ptr<CLineFile> m_pFile;
};
