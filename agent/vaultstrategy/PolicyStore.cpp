#include "agent/vaultstrategy/PolicyStore.h"

#include <cstdlib>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace vaultstrategy {

namespace {

// Iterative parsing: a hostile file of deeply nested brackets must not
// exhaust the stack. Comments are allowed so policies can explain themselves.
const unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseCommentsFlag;

const char* const kPolicyFile = "config\\policy.json";

uint64_t Fnv1a(uint64_t hash, const std::string& text) {
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// "0x..." hexadecimal or plain decimal, nothing else, within `limit`.
bool ParseUnsigned(const std::string& text, uint64_t limit, uint64_t* out) {
  size_t start = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    start = 2;
    base = 16;
  }
  if (start >= text.size()) return false;
  uint64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (value > (limit - digit) / static_cast<uint64_t>(base)) return false;
    value = value * static_cast<uint64_t>(base) + digit;
  }
  *out = value;
  return true;
}

// A number or a numeric string ("0x10030001", "268632065").
bool UnsignedOf(const rapidjson::Value& v, uint64_t limit, uint64_t* out) {
  if (v.IsUint64()) {
    if (v.GetUint64() > limit) return false;
    *out = v.GetUint64();
    return true;
  }
  if (v.IsString()) return ParseUnsigned(std::string(v.GetString(), v.GetStringLength()), limit, out);
  return false;
}

// Element values are texts; integers and booleans are accepted and written
// the way a text would carry them ("1", "true").
bool ScalarText(const rapidjson::Value& v, std::string* out) {
  if (v.IsString()) {
    out->assign(v.GetString(), v.GetStringLength());
  } else if (v.IsBool()) {
    *out = v.GetBool() ? "true" : "false";
  } else if (v.IsInt64()) {
    *out = std::to_string(v.GetInt64());
  } else if (v.IsUint64()) {
    *out = std::to_string(v.GetUint64());
  } else {
    return false;
  }
  return true;
}

std::string KeyOf(const rapidjson::Value& name) { return std::string(name.GetString(), name.GetStringLength()); }

// Writes `object`'s scalar members as a flat object of strings, after the
// optional leading pair; false when a member is not a scalar or repeats a key.
bool WriteElements(const rapidjson::Value& object, const char* leadKey, const std::string& leadValue,
                   rapidjson::Writer<rapidjson::StringBuffer>& writer, std::string* error) {
  std::map<std::string, bool> seen;
  writer.StartObject();
  if (leadKey) {
    writer.Key(leadKey);
    writer.String(leadValue.c_str(), static_cast<rapidjson::SizeType>(leadValue.size()));
    seen[leadKey] = true;
  }
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    std::string key = KeyOf(it->name);
    std::string text;
    if (!ScalarText(it->value, &text)) {
      *error = "element \"" + key + "\" must be a string, an integer or a boolean";
      return false;
    }
    if (seen.count(key)) {
      *error = "element \"" + key + "\" is given twice";
      return false;
    }
    seen[key] = true;
    writer.Key(key.c_str(), static_cast<rapidjson::SizeType>(key.size()));
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  }
  writer.EndObject();
  return true;
}

bool ParseStrategy(const rapidjson::Value& v, size_t index, Strategy* s, std::string* error) {
  std::string where = "strategies[" + std::to_string(index) + "]";
  if (!v.IsObject()) {
    *error = where + " must be an object";
    return false;
  }
  for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
    std::string key = KeyOf(it->name);
    if (key != "id" && key != "type" && key != "sessions" && key != "conditions" && key != "value" && key != "action" &&
        key != "comment") {
      *error = where + ": unknown member \"" + key + "\"";
      return false;
    }
  }
  // Callers read "id" as a decimal number: only digits, no "0x".
  auto id = v.FindMember("id");
  bool decimal = id != v.MemberEnd() && (id->value.IsUint64() || id->value.IsString());
  if (decimal && id->value.IsString()) {
    std::string digits = KeyOf(id->value);
    decimal = digits.find_first_not_of("0123456789") == std::string::npos;
  }
  if (!decimal || !UnsignedOf(id->value, UINT64_MAX, &s->id)) {
    *error = where + ": \"id\" must be a decimal number";
    return false;
  }
  uint64_t type = 0;
  auto typeIt = v.FindMember("type");
  if (typeIt == v.MemberEnd() || !UnsignedOf(typeIt->value, UINT32_MAX, &type)) {
    *error = where + ": \"type\" must be a 32-bit number (e.g. \"0x10030001\")";
    return false;
  }
  s->type = static_cast<uint32_t>(type);

  auto sessions = v.FindMember("sessions");
  s->allSessions = true;
  if (sessions != v.MemberEnd()) {
    if (sessions->value.IsString() && std::string(sessions->value.GetString()) == "*") {
      s->allSessions = true;
    } else if (sessions->value.IsArray()) {
      s->allSessions = false;
      for (auto& one : sessions->value.GetArray()) {
        uint64_t session = 0;
        if (!one.IsUint64() || !UnsignedOf(one, UINT32_MAX, &session)) {
          *error = where + ": \"sessions\" must hold session numbers";
          return false;
        }
        s->sessions.push_back(static_cast<uint32_t>(session));
      }
    } else {
      *error = where + ": \"sessions\" must be \"*\" or an array of session numbers";
      return false;
    }
  }

  auto conditions = v.FindMember("conditions");
  if (conditions != v.MemberEnd()) {
    if (!conditions->value.IsObject()) {
      *error = where + ": \"conditions\" must be an object";
      return false;
    }
    for (auto it = conditions->value.MemberBegin(); it != conditions->value.MemberEnd(); ++it) {
      std::vector<std::string> patterns;
      if (it->value.IsString()) {
        patterns.push_back(KeyOf(it->value));
      } else if (it->value.IsArray() && !it->value.Empty()) {
        for (auto& p : it->value.GetArray()) {
          if (!p.IsString()) {
            patterns.clear();
            break;
          }
          patterns.push_back(KeyOf(p));
        }
      }
      if (patterns.empty()) {
        *error = where + ": condition \"" + KeyOf(it->name) + "\" must be a pattern or a non-empty array of them";
        return false;
      }
      s->conditions.emplace_back(KeyOf(it->name), std::move(patterns));
    }
  }

  static const rapidjson::Value kEmptyObject(rapidjson::kObjectType);
  for (const char* part : {"value", "action"}) {
    auto found = v.FindMember(part);
    const rapidjson::Value& object = found == v.MemberEnd() ? kEmptyObject : found->value;
    if (!object.IsObject()) {
      *error = where + ": \"" + part + "\" must be an object";
      return false;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    bool isValue = std::string(part) == "value";
    if (isValue && object.HasMember("id")) {
      *error = where + ": the strategy's \"id\" belongs to the strategy, not to \"value\"";
      return false;
    }
    if (!WriteElements(object, isValue ? "id" : nullptr, std::to_string(s->id), writer, error)) {
      *error = where + "." + part + ": " + *error;
      return false;
    }
    (isValue ? s->valueText : s->actionText).assign(buffer.GetString(), buffer.GetSize());
  }
  return true;
}

bool ParseGroups(const rapidjson::Value& v, Policy* policy, std::string* error) {
  if (!v.IsObject()) {
    *error = "\"sysParams\" must be an object of groups";
    return false;
  }
  for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
    std::string name = KeyOf(it->name);
    uint64_t group = 0;
    if (!ParseUnsigned(name, UINT32_MAX, &group)) {
      *error = "sysParams: group \"" + name + "\" is not a 32-bit number";
      return false;
    }
    if (policy->groups.count(static_cast<uint32_t>(group))) {
      *error = "sysParams: group \"" + name + "\" is given twice";
      return false;
    }
    if (!it->value.IsArray()) {
      *error = "sysParams." + name + " must be an array of entries";
      return false;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartArray();
    size_t index = 0;
    for (auto& entry : it->value.GetArray()) {
      std::string where = "sysParams." + name + "[" + std::to_string(index++) + "]";
      if (!entry.IsObject()) {
        *error = where + " must be an object";
        return false;
      }
      if (!WriteElements(entry, nullptr, std::string(), writer, error)) {
        *error = where + ": " + *error;
        return false;
      }
    }
    writer.EndArray();
    policy->groups[static_cast<uint32_t>(group)].assign(buffer.GetString(), buffer.GetSize());
  }
  return true;
}

// Parses a flat object of strings produced by this library.
bool ParseObjectText(const std::string& text, rapidjson::Document* doc) {
  doc->Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  return !doc->HasParseError() && doc->IsObject();
}

// True while a file written at `writeTime` (FILETIME units) may still change
// without its size or write time moving: some file systems keep write times
// in whole seconds, so a rewrite within the same second looks the same.
bool RecentlyWritten(uint64_t writeTime) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t nowTime = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return nowTime < writeTime + 2 * 10000000ull;
}

bool StringMember(const rapidjson::Value& object, const std::string& key, std::string* value) {
  if (!object.IsObject()) return false;
  rapidjson::Value name(rapidjson::StringRef(key.c_str(), static_cast<rapidjson::SizeType>(key.size())));
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return false;
  value->assign(it->value.GetString(), it->value.GetStringLength());
  return true;
}

}  // namespace

uint64_t ContentHash(const std::string& text) {
  uint64_t hash = Fnv1a(14695981039346656037ull, text);
  return hash == 0 ? 1 : hash;
}

bool MatchPattern(const std::string& pattern, const std::string& text) {
  // Greedy scan with one backtrack point: linear in practice, bounded by
  // pattern length x text length.
  size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool ParsePolicy(const std::string& text, Policy* policy, std::string* error) {
  rapidjson::Document doc;
  doc.Parse<kParseFlags>(text.c_str(), text.size());
  if (doc.HasParseError()) {
    *error = std::string("not JSON (") + rapidjson::GetParseError_En(doc.GetParseError()) + " at offset " +
             std::to_string(doc.GetErrorOffset()) + ")";
    return false;
  }
  if (!doc.IsObject()) {
    *error = "the policy must be a JSON object";
    return false;
  }
  Policy parsed;
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    std::string key = KeyOf(it->name);
    if (key != "strategies" && key != "sysParams" && key != "comment") {
      *error = "unknown member \"" + key + "\"";
      return false;
    }
  }
  auto strategies = doc.FindMember("strategies");
  if (strategies != doc.MemberEnd()) {
    if (!strategies->value.IsArray()) {
      *error = "\"strategies\" must be an array";
      return false;
    }
    size_t index = 0;
    for (auto& one : strategies->value.GetArray()) {
      Strategy s;
      if (!ParseStrategy(one, index++, &s, error)) return false;
      parsed.strategies.push_back(std::move(s));
    }
  }
  auto groups = doc.FindMember("sysParams");
  if (groups != doc.MemberEnd() && !ParseGroups(groups->value, &parsed, error)) return false;

  // Change times follow the canonical content, so rewriting the file with
  // other spacing or comments does not count as a change.
  std::string canonical;
  for (const Strategy& s : parsed.strategies) {
    canonical += std::to_string(s.id) + "|" + std::to_string(s.type) + "|";
    if (s.allSessions) {
      canonical += "*";
    } else {
      for (uint32_t one : s.sessions) canonical += std::to_string(one) + ",";
    }
    canonical += "|";
    for (auto& c : s.conditions) {
      canonical += std::to_string(c.first.size()) + ":" + c.first + "=";
      for (auto& p : c.second) canonical += std::to_string(p.size()) + ":" + p;
      canonical += ";";
    }
    canonical += "|" + s.valueText + "|" + s.actionText + "\n";
  }
  parsed.strategyTime = ContentHash(canonical);
  canonical.clear();
  for (auto& g : parsed.groups) canonical += std::to_string(g.first) + "=" + g.second + "\n";
  parsed.sysParamTime = ContentHash(canonical);
  *policy = std::move(parsed);
  return true;
}

bool ElementOfText(const std::string& text, const std::string& key, std::string* value) {
  rapidjson::Document doc;
  return ParseObjectText(text, &doc) && StringMember(doc, key, value);
}

namespace {
bool ElementOfConfigDoc(const rapidjson::Document& doc, uint32_t index, const std::string& key, std::string* value) {
  if (doc.HasParseError() || !doc.IsArray() || index >= doc.Size()) return false;
  return StringMember(doc[index], key, value);
}
}  // namespace

PolicyStore& PolicyStore::Instance() {
  static PolicyStore store;
  return store;
}

PolicyStore::PolicyStore() {
  std::string unused;
  ParsePolicy("{}", &m_policy, &unused);
}

void PolicyStore::AdoptLocked(Policy&& policy) { m_policy = std::move(policy); }

void PolicyStore::RefreshLocked() {
  std::string path = vaultfiles::DataPath(kPolicyFile);
  vaultfiles::FileStamp stamp;
  bool exists = vaultfiles::StatFile(path, &stamp);
  if (m_bStampKnown && exists == m_bFileSeen && (!exists || (stamp == m_stamp && !RecentlyWritten(stamp.writeTime))))
    return;
  m_bStampKnown = true;
  m_stamp = stamp;
  if (!exists) {
    if (m_bFileSeen) vaultfiles::Complain("vaultstrategy", path + " is gone: no strategy applies any more");
    m_bFileSeen = false;
    m_lastTextHash = 0;
    m_lastTextSize = 0;
    Policy empty;
    std::string unused;
    ParsePolicy("{}", &empty, &unused);
    AdoptLocked(std::move(empty));
    return;
  }
  m_bFileSeen = true;
  std::string text, error;
  if (!vaultfiles::ReadWholeFile(path, kMaxPolicyBytes, &text, &error)) {
    // Tried again at the next query (a file being replaced can fail to open
    // for a moment), reported once per file state.
    m_bStampKnown = false;
    uint64_t marker = ContentHash("unreadable:" + error);
    if (marker != m_lastTextHash) {
      vaultfiles::Complain("vaultstrategy", path + " " + error + "; keeping the last good policy");
      m_lastTextHash = marker;
      m_lastTextSize = 0;
    }
    return;
  }
  uint64_t hash = ContentHash(text);
  if (hash == m_lastTextHash && text.size() == m_lastTextSize) return;
  m_lastTextHash = hash;
  m_lastTextSize = text.size();
  Policy policy;
  if (!ParsePolicy(text, &policy, &error)) {
    vaultfiles::Complain("vaultstrategy", path + ": " + error + "; keeping the last good policy");
    return;
  }
  AdoptLocked(std::move(policy));
}

bool PolicyStore::FindStrategy(uint32_t session, uint32_t type, const std::map<std::string, std::string>* conditions,
                               std::string* valueText, std::string* actionText) {
  std::lock_guard<std::mutex> lock(m_mutex);
  RefreshLocked();
  for (const Strategy& s : m_policy.strategies) {
    if (s.type != type) continue;
    if (!s.allSessions) {
      bool targeted = false;
      for (uint32_t one : s.sessions) targeted = targeted || one == session;
      if (!targeted) continue;
    }
    bool holds = true;
    if (conditions) {
      for (auto& c : s.conditions) {
        auto asked = conditions->find(c.first);
        bool any = false;
        if (asked != conditions->end()) {
          for (auto& p : c.second) any = any || MatchPattern(p, asked->second);
        }
        if (!any) {
          holds = false;
          break;
        }
      }
    }
    if (!holds) continue;
    *valueText = s.valueText;
    *actionText = s.actionText;
    return true;
  }
  return false;
}

bool PolicyStore::ChangeTime(uint32_t kind, uint64_t* time) {
  std::lock_guard<std::mutex> lock(m_mutex);
  RefreshLocked();
  if (kind == 1) {
    *time = m_policy.strategyTime;
  } else if (kind == 2) {
    *time = m_policy.sysParamTime;
  } else {
    return false;
  }
  return true;
}

bool PolicyStore::GroupText(uint32_t group, std::string* text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  RefreshLocked();
  auto it = m_policy.groups.find(group);
  if (it == m_policy.groups.end()) return false;
  *text = it->second;
  return true;
}

const rapidjson::Document& PolicyStore::ConfigDocLocked(const std::string& text) {
  // A text that failed to parse is kept too: it is refused again without
  // parsing it again.
  if (!m_bConfigParsed || text != m_configText) {
    m_bConfigParsed = false;
    m_configText = text;
    rapidjson::Document parsed;
    parsed.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    m_configDoc.Swap(parsed);
    m_bConfigParsed = true;
  }
  return m_configDoc;
}

bool PolicyStore::ConfigCount(const std::string& text, uint32_t* count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const rapidjson::Document& doc = ConfigDocLocked(text);
  if (doc.HasParseError() || !doc.IsArray()) return false;
  *count = doc.Size();
  return true;
}

bool PolicyStore::ConfigElement(const std::string& text, uint32_t index, const std::string& key, std::string* value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ElementOfConfigDoc(ConfigDocLocked(text), index, key, value);
}

}  // namespace vaultstrategy
