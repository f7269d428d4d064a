// The policy of config\policy.json as the library answers it: device-control
// strategies in file order and system-parameter groups, each reduced to the
// texts handed to callers, plus change times derived from that content.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>
#include <rapidjson/document.h>
#include "agent/vaultcommon/AgentFiles.h"

namespace vaultstrategy {

struct Strategy {
  uint64_t id = 0;
  uint32_t type = 0;
  bool allSessions = true;
  std::vector<uint32_t> sessions;
  // Element key -> patterns; one pattern of each key must match.
  std::vector<std::pair<std::string, std::vector<std::string>>> conditions;
  std::string valueText;   // {"id":"<id>", value elements...}
  std::string actionText;  // {action elements...}
};

struct Policy {
  std::vector<Strategy> strategies;
  std::map<uint32_t, std::string> groups;  // group id -> [{entry}, ...]
  uint64_t strategyTime = 0;
  uint64_t sysParamTime = 0;
};

// Parses policy text; false with a reason when any part is malformed.
bool ParsePolicy(const std::string& text, Policy* policy, std::string* error);

// Case-sensitive match: "*" any run (also empty), "?" exactly one character.
bool MatchPattern(const std::string& pattern, const std::string& text);

// Value of `key` in an element text produced by this library (a flat JSON
// object of strings); false when the text is not such an object or lacks the
// key.
bool ElementOfText(const std::string& text, const std::string& key, std::string* value);

// The process's view of config\policy.json. Every query first looks whether
// the file changed on disk; a file that cannot be read or parsed leaves the
// last good policy in place and is reported once on standard error. A missing
// file is the empty policy (no strategy applies).
class PolicyStore {
 public:
  static PolicyStore& Instance();

  // The first strategy, in file order, of `type` that targets `session` and
  // whose conditions all hold for `conditions` (null: not looked at).
  bool FindStrategy(uint32_t session, uint32_t type, const std::map<std::string, std::string>* conditions,
                    std::string* valueText, std::string* actionText);
  // Kind 1: strategies, kind 2: system parameters. False for other kinds.
  bool ChangeTime(uint32_t kind, uint64_t* time);
  // The configuration text of a group; false when the policy has no such group.
  bool GroupText(uint32_t group, std::string* text);
  // Number of entries of a configuration text, and one element of entry i.
  // Callers read every element of one group's text in turn, so the last text
  // parsed is kept.
  bool ConfigCount(const std::string& text, uint32_t* count);
  bool ConfigElement(const std::string& text, uint32_t index, const std::string& key, std::string* value);

  // Largest policy file read; larger ones are refused.
  static const uint64_t kMaxPolicyBytes = 32ull << 20;

 private:
  PolicyStore();
  void RefreshLocked();
  void AdoptLocked(Policy&& policy);
  // The parsed configuration text, parsing it when it is not the last one.
  const rapidjson::Document& ConfigDocLocked(const std::string& text);

  std::mutex m_mutex;
  Policy m_policy;
  // What the file looked like when last read; read again only when it
  // changes, or while its write time is recent enough that a rewrite in the
  // same second would not show.
  bool m_bStampKnown = false;
  bool m_bFileSeen = false;
  vaultfiles::FileStamp m_stamp;
  uint64_t m_lastTextHash = 0;
  uint64_t m_lastTextSize = 0;
  bool m_bConfigParsed = false;
  std::string m_configText;
  rapidjson::Document m_configDoc;
};

// FNV-1a over bytes, never 0 (a change time of 0 means "none" to callers).
uint64_t ContentHash(const std::string& text);

}  // namespace vaultstrategy
