// The policy lint: traps a policy sets that the module, right by its own
// rules, would walk into. What a device gets is read from the module itself
// (a whatif run per machine with every known device plugged, its trace of
// strategy device IDs and definitions, and the policy library's answer per
// ID); what a policy says on its own is read with the library's parser and
// pattern matching.
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/vaultcommon/HostText.h"
#include "agent/vaultstrategy/PolicyStore.h"
#include "src/client/CorePlugins/mod_hwctl/DeviceOpt.h"
#include "src/client/CorePlugins/mod_hwctl/DeviceRecord.h"
#include "whatif_fleet.h"

namespace whatif {

namespace {

const uint32_t kDeviceControl = 0x10030001;
const uint32_t kDefinitions = 0x20060001;

struct Finding {
  std::string level, code, message;
  std::vector<std::string> devices;
};

struct Definition {
  std::string name, type, instance, id;
};

std::string Str(const rapidjson::Value& v, const char* key) {
  auto it = v.FindMember(key);
  return it != v.MemberEnd() && it->value.IsString() ? it->value.GetString() : std::string();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t a = text.find_first_not_of(" \t\r\n"), b = text.find_last_not_of(" \t\r\n");
  return a == std::string::npos ? std::string() : text.substr(a, b - a + 1);
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
  return out;
}

// Setup classes whose devices the lockout guard keeps running.
const char* GuardedClass(const std::string& type) {
  static const char* const kClasses[][2] = {{"4d36e96b-e325-11ce-bfc1-08002be10318", "keyboards"},
                                            {"4d36e96f-e325-11ce-bfc1-08002be10318", "mice"},
                                            {"745a17a0-74d3-11d0-b6fe-00a0c90f57da", "HID devices"},
                                            {"4d36e972-e325-11ce-bfc1-08002be10318", "network adapters"},
                                            {"36fc9e60-c465-11cf-8056-444553540000", "USB devices and hubs"}};
  std::string t = Lower(type);
  if (t.size() >= 2 && t.front() == '{' && t.back() == '}') t = t.substr(1, t.size() - 2);
  for (const auto& c : kClasses)
    if (t == c[0]) return c[1];
  return nullptr;
}

std::vector<std::string> IdPatterns(const vaultstrategy::Strategy& s) {
  for (const auto& c : s.conditions)
    if (c.first == "deviceId_10") return c.second;
  return {};
}

// The strategy the library picks for one strategy device ID (every session),
// or null; the module forbids only on exactly "forbid".
const vaultstrategy::Strategy* Answering(const vaultstrategy::Policy& policy, const std::string& id) {
  for (const vaultstrategy::Strategy& s : policy.strategies) {
    if (s.type != kDeviceControl) continue;
    bool holds = true;
    for (const auto& c : s.conditions) {
      bool any = false;
      if (c.first == "deviceId_10")
        for (const std::string& p : c.second) any = any || vaultstrategy::MatchPattern(p, id);
      holds = holds && any;
    }
    if (holds) return &s;
  }
  return nullptr;
}

bool Forbids(const vaultstrategy::Strategy* s) {
  std::string method;
  return s != nullptr && vaultstrategy::ElementOfText(s->actionText, "processMethod_10", &method) && method == "forbid";
}

std::vector<Definition> Definitions(const vaultstrategy::Policy& policy) {
  std::vector<Definition> out;
  auto group = policy.groups.find(kDefinitions);
  if (group == policy.groups.end()) return out;
  rapidjson::Document doc;
  doc.Parse(group->second.c_str(), group->second.size());
  if (doc.HasParseError() || !doc.IsArray()) return out;
  for (const auto& e : doc.GetArray())
    if (e.IsObject())
      out.push_back(
          {Str(e, "deviceName_10"), Str(e, "deviceType_10"), Str(e, "deviceInstance_10"), Str(e, "deviceId_10")});
  return out;
}

std::string Describe(const Definition& d) {
  return "\"" + d.name + "\" (instance " + d.instance + ", ID " + d.id + ")";
}

void PolicyFindings(const vaultstrategy::Policy& policy, std::vector<Finding>* findings) {
  std::vector<Definition> definitions = Definitions(policy);
  // Values the module compares exactly: anything else counts as not set.
  static const char* const kValues[][2] = {{"processMethod_10", "forbid"},
                                           {"processMethod_10", "allow"},
                                           {"logType_10", "auditLog"},
                                           {"needTip_10", "true"},
                                           {"needTip_10", "false"}};
  for (const vaultstrategy::Strategy& s : policy.strategies) {
    if (s.type != kDeviceControl) continue;
    std::string sid = std::to_string(s.id);
    for (const char* key : {"processMethod_10", "logType_10", "needTip_10"}) {
      std::string value;
      if (!vaultstrategy::ElementOfText(s.actionText, key, &value)) continue;
      for (const auto& v : kValues) {
        if (std::string(v[0]) != key || value == v[1] || Lower(Trim(value)) != Lower(v[1])) continue;
        findings->push_back({"error",
                             "action-value",
                             "strategy " + sid + ": " + key + " is \"" + value + "\", not \"" + v[1] +
                                 "\": the module takes only the exact value, so this one counts as not set",
                             {}});
      }
    }
    for (const std::string& pattern : IdPatterns(s)) {
      bool produced = vaultstrategy::MatchPattern(pattern, DEVICE_ID_UNDEFINED);
      for (const Definition& d : definitions) produced = produced || vaultstrategy::MatchPattern(pattern, d.id);
      if (!produced)
        findings->push_back({"warning",
                             "no-definition",
                             "strategy " + sid + ": device ID \"" + pattern +
                                 "\" is produced by no device definition and is not the undefined device's ID " +
                                 DEVICE_ID_UNDEFINED,
                             {}});
    }
  }
  for (size_t i = 0; i < definitions.size(); ++i) {
    const Definition& d = definitions[i];
    const vaultstrategy::Strategy* answer = Answering(policy, d.id);
    if (answer == nullptr)
      findings->push_back(
          {"warning", "unused-definition", "definition " + Describe(d) + ": no strategy asks for its ID", {}});
    if (Forbids(answer) && GuardedClass(d.type) != nullptr)
      findings->push_back({"warning",
                           "reaches-guarded",
                           "definition " + Describe(d) + " is forbidden by strategy " + std::to_string(answer->id) +
                               " and reaches " + GuardedClass(d.type) +
                               ", which the lockout guard keeps running where they carry input or a hub",
                           {}});
    // A later definition of the same class that catches what this forbidden
    // one catches answers last, and its answer counts.
    if (!Forbids(answer)) continue;
    for (size_t k = i + 1; k < definitions.size(); ++k) {
      const Definition& later = definitions[k];
      if (Lower(later.type) != Lower(d.type) || Forbids(Answering(policy, later.id))) continue;
      if (!MatchWildcard(later.instance, d.instance)) continue;
      findings->push_back({"error",
                           "overridden-verdict",
                           "definition " + Describe(d) + " is forbidden by strategy " + std::to_string(answer->id) +
                               ", but every device it gives also gets the later definition " + Describe(later) +
                               ", whose ID is not forbidden: the last strategy device ID's answer counts, so "
                               "these devices are left running",
                           {}});
    }
  }
}

// What the module made of each device of one machine (the child run's
// --lint-trace document): a forbid by an earlier ID undone by the last one,
// and forbids that reach what the guard keeps.
void MachineFindings(const std::string& machine, const rapidjson::Document& trace, std::vector<Finding>* findings) {
  auto devices = trace.FindMember("devices");
  if (devices == trace.MemberEnd() || !devices->value.IsArray()) return;
  for (const auto& d : devices->value.GetArray()) {
    auto answers = d.FindMember("answers");
    if (answers == d.MemberEnd() || !answers->value.IsArray() || answers->value.Size() < 2) continue;
    std::vector<std::string> ids, forbidding, definitions;
    bool lastForbids = false;
    for (const auto& a : answers->value.GetArray()) {
      ids.push_back(Str(a, "deviceId"));
      lastForbids = a["forbid"].GetBool();
      if (lastForbids) forbidding.push_back(Str(a, "deviceId") + " (strategy " + Str(a, "strategyId") + ")");
    }
    if (lastForbids || forbidding.empty()) continue;
    if (d.HasMember("definitions") && d["definitions"].IsArray())
      for (const auto& def : d["definitions"].GetArray())
        if (def.IsString()) definitions.push_back(def.GetString());
    std::string id = Str(d, "instanceId");
    findings->push_back({"error",
                         "overridden-verdict",
                         machine + ": device " + id + " gets the strategy device IDs " + Join(ids) + " from " +
                             Join(definitions) + "; " + Join(forbidding) + " forbids it, but the last ID " +
                             ids.back() +
                             " does not, and the last strategy device ID's answer counts: it is "
                             "left running",
                         {id}});
  }
  auto reaches = trace.FindMember("reaches");
  if (reaches == trace.MemberEnd() || !reaches->value.IsArray() || reaches->value.Empty()) return;
  Finding f{"warning", "reaches-guarded", machine + ": a forbid reaches ", {}};
  std::vector<std::string> what;
  for (const auto& r : reaches->value.GetArray()) {
    f.devices.push_back(Str(r, "instanceId"));
    what.push_back(Str(r, "instanceId") + " (" + Str(r, "kind") + ")");
  }
  f.message += Join(what) + "; the guard keeps input devices and hubs, and what it does not keep is lost";
  findings->push_back(f);
}

}  // namespace

int RunLint(const FleetOptions& o) {
  std::string text, error;
  vaultstrategy::Policy policy;
  if (!hosttext::ReadFile(o.policy, &text)) {
    fprintf(stderr, "whatif: cannot read the policy %s\n", o.policy.c_str());
    return 1;
  }
  if (!vaultstrategy::ParsePolicy(text, &policy, &error)) {
    fprintf(stderr, "whatif: %s: %s\n", o.policy.c_str(), error.c_str());
    return 1;
  }
  std::vector<Finding> findings;
  PolicyFindings(policy, &findings);

  std::vector<ChildRun> runs;
  for (const std::string& m : o.lintMachines) {
    ChildRun r;
    r.args = {"--machine", m, "--policy", o.policy, "--lint-trace"};
    if (!o.session.empty()) r.args.insert(r.args.end(), {"--session", o.session});
    runs.push_back(r);
  }
  if (!runs.empty() && !RunChildren(o.self, runs, o.jobs, &error)) {
    fprintf(stderr, "whatif: %s\n", error.c_str());
    return 1;
  }
  std::vector<Finding> onMachines;
  for (size_t i = 0; i < runs.size(); ++i) {
    rapidjson::Document trace;
    trace.Parse(runs[i].out.c_str(), runs[i].out.size());
    if ((runs[i].code != 0 && runs[i].code != 2) || trace.HasParseError() || !trace.IsObject()) {
      fprintf(stderr, "whatif: %s\n", ChildReason(runs[i]).c_str());
      return 1;
    }
    MachineFindings(std::filesystem::path(o.lintMachines[i]).filename().string(), trace, &onMachines);
  }
  // A device that shows the trap says it better than the definitions alone.
  bool shown = std::any_of(onMachines.begin(), onMachines.end(),
                           [](const Finding& f) { return f.code == "overridden-verdict"; });
  if (shown)
    findings.erase(std::remove_if(findings.begin(), findings.end(),
                                  [](const Finding& f) { return f.code == "overridden-verdict"; }),
                   findings.end());
  findings.insert(findings.end(), onMachines.begin(), onMachines.end());
  std::stable_sort(findings.begin(), findings.end(),
                   [](const Finding& a, const Finding& b) { return a.level == "error" && b.level != "error"; });

  bool anyError = std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return f.level == "error"; });
  std::string out;
  if (o.json) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("findings");
    w.StartArray();
    for (const Finding& f : findings) {
      w.StartObject();
      w.Key("level");
      w.String(f.level.c_str());
      w.Key("code");
      w.String(f.code.c_str());
      w.Key("message");
      w.String(f.message.c_str());
      w.Key("devices");
      w.StartArray();
      for (const std::string& d : f.devices) w.String(d.c_str());
      w.EndArray();
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
    out = std::string(buffer.GetString(), buffer.GetSize()) + "\n";
  } else {
    for (const Finding& f : findings) out += f.level + " " + f.code + ": " + f.message + "\n";
  }
  fwrite(out.data(), 1, out.size(), stdout);
  return anyError ? 2 : 0;
}

}  // namespace whatif
