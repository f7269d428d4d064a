#include "whatif_report.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <sstream>

#include "common/util/TreeWalk.h"

namespace whatif {

namespace {

const unsigned kRemovable = 0x4000;  // DN_REMOVABLE

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// An interface is named or given by its GUID, with or without braces.
bool Has(const std::vector<std::string>& list, const std::string& upperItem) {
  return std::any_of(list.begin(), list.end(), [&](const std::string& s) {
    std::string u = Upper(s);
    if (u.size() >= 2 && u.front() == '{' && u.back() == '}') u = u.substr(1, u.size() - 2);
    return u == upperItem;
  });
}

void AddOnce(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

struct Action {
  const char* action;
  const char* reason;
};

// A journal action as an action of the report, with its plain reason.
Action ActionOf(const std::string& reason) {
  if (reason == "disabled" || reason == "restart-pending") return {"disabled", "forbidden: disabled"};
  if (reason == "disable-refused")
    return {"not-disableable",
            "forbidden, but the disable did not take (the class installer refused, or no administrator rights)"};
  if (reason == "already-off") return {"already-off", "forbidden, and not running already"};
  if (reason == "kept-listed")
    return {"not-disableable",
            "forbidden, but it cannot be controlled (hidden, absent, or neither disableable nor removable)"};
  if (reason == "not-disableable") return {"not-disableable", "forbidden, but Windows does not let it be disabled"};
  if (reason == "guarded") return {"guarded", "forbidden, but left running"};
  if (reason == "enabled") return {"enabled", "no longer forbidden: enabled again"};
  if (reason == "enable-failed") return {"enabled", "no longer forbidden, but the enable did not take"};
  return {"allowed", "not forbidden"};
}

std::string Describe(const MachineDevice* device, const std::string& id) {
  return device != nullptr && !device->name.empty() ? device->name : id;
}

}  // namespace

std::string JsonText(const rapidjson::Value& object, const char* key) {
  auto it = object.FindMember(key);
  return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : std::string();
}

std::vector<std::string> JsonTexts(const rapidjson::Value& object, const char* key) {
  std::vector<std::string> texts;
  auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsArray()) return texts;
  for (const rapidjson::Value& v : it->value.GetArray())
    if (v.IsString()) texts.push_back(v.GetString());
  return texts;
}

std::map<std::string, Judgement> ParseJournal(const std::string& journalText) {
  std::map<std::string, Judgement> judged;
  std::istringstream lines(journalText);
  for (std::string line; std::getline(lines, line);) {
    rapidjson::Document d;
    if (d.Parse(line.c_str()).HasParseError() || !d.IsObject()) continue;
    std::string id = JsonText(d, "instanceId");
    std::string action = JsonText(d, "action");
    if (id.empty() || action.empty()) continue;
    Judgement& j = judged[id];
    j.lines.push_back(line);
    if (action == "excluded") {
      j.exclusion = "entry " + JsonText(d, "exclusion");
      continue;
    }
    // A forbid seen once stays the verdict; its strategy names it.
    std::string verdict = JsonText(d, "verdict");
    if (!(j.verdict == "forbid" && verdict != "forbid")) {
      j.verdict = verdict;
      j.strategyId = JsonText(d, "strategy");
      j.deviceIds = JsonTexts(d, "deviceIds");
      std::vector<std::string> names = JsonTexts(d, "definitions");
      j.definitions.clear();
      for (size_t i = 0; i < names.size() && i < j.deviceIds.size(); ++i)
        AddOnce(j.definitions, "\"" + names[i] + "\" gives " + j.deviceIds[i]);
    }
    // A change that waits for the restart: a disable under a forbid, a failed enable otherwise.
    if (action == "restart-pending") action = verdict == "forbid" ? "disabled" : "enable-failed";
    j.reasons.push_back(action);
    if (action == "guarded") j.guardWhy = JsonText(d, "guard");
  }
  return judged;
}

std::set<std::string> SystemDisks(const std::vector<MachineDevice>& machine) {
  std::map<std::string, const MachineDevice*> byId;
  for (const MachineDevice& d : machine) byId[Upper(d.id)] = &d;
  std::set<std::string> disks;
  bool anyInUse = false;
  for (const MachineDevice& d : machine) {
    if (!d.inUse) continue;
    anyInUse = true;
    // The disk at or above the device in use.
    for (const MachineDevice* at = &d; at != nullptr;) {
      if (Upper(at->className) == "DISKDRIVE") {
        disks.insert(Upper(at->id));
        break;
      }
      auto parent = byId.find(Upper(at->parent));
      at = parent == byId.end() || at->parent.empty() ? nullptr : parent->second;
    }
  }
  if (!anyInUse)
    for (const MachineDevice& d : machine)
      if (Upper(d.className) == "DISKDRIVE" && (d.status & kRemovable) == 0) disks.insert(Upper(d.id));
  return disks;
}

std::string LockoutKind(const MachineDevice& d, const std::set<std::string>& systemDisks) {
  const std::string cls = Upper(d.className);
  for (const std::string& id : d.ids) {
    std::string upper = Upper(id);
    if (StartsWith(upper, "USB\\ROOT_HUB") || StartsWith(upper, "USB\\CLASS_09")) return "USB hub";
  }
  if (Has(d.interfaces, "USB HUB") || Has(d.interfaces, "F18A0E88-C30C-11D0-8815-00A0C906BED8")) return "USB hub";
  if (cls == "KEYBOARD" || Has(d.interfaces, "KEYBOARD")) return "keyboard";
  if (cls == "MOUSE" || Has(d.interfaces, "MOUSE")) return "mouse";
  if (cls == "HIDCLASS") return "HID device";
  if (cls == "NET") return "network adapter";
  if (systemDisks.count(Upper(d.id))) return "system disk";
  return std::string();
}

Report BuildReport(const std::vector<MachineDevice>& machine, const std::map<std::string, Judgement>& judged,
                   const std::vector<std::string>& audit, const std::vector<std::string>& tips) {
  Report report;
  report.audit = audit;
  report.tips = tips;
  std::map<std::string, const MachineDevice*> byId;
  std::map<std::string, std::vector<const MachineDevice*>> children;
  for (const MachineDevice& d : machine) {
    byId[Upper(d.id)] = &d;
    if (!d.parent.empty()) children[Upper(d.parent)].push_back(&d);
  }
  auto descendants = [&](const std::string& id) {
    return CollectDescendants<MachineDevice>(
        Upper(id), [&](const std::string& key) { return children[key]; },
        [](const MachineDevice& d) { return Upper(d.id); });
  };

  // Devices the module took off: disabled by it now (or at the next
  // restart), and what goes with them.
  std::map<std::string, std::string> lostThrough;  // upper ID -> the disabled device it goes with
  for (const auto& entry : judged) {
    const Judgement& j = entry.second;
    const MachineDevice* device = byId.count(Upper(entry.first)) ? byId[Upper(entry.first)] : nullptr;
    DeviceReport r;
    r.instanceId = entry.first;
    r.description = Describe(device, entry.first);
    r.verdict = j.verdict.empty() ? "none" : j.verdict;
    r.strategyId = j.strategyId;
    r.deviceIds = j.deviceIds;
    r.definitions = j.definitions;
    r.journal = j.lines;
    if (!j.exclusion.empty() && j.reasons.empty()) {
      r.action = "excluded";
      r.reason = "never judged: excluded by the " + j.exclusion;
    } else if (std::find(j.reasons.begin(), j.reasons.end(), "disabled") != j.reasons.end()) {
      r.action = "disabled";
      r.reason = ActionOf("disabled").reason;
    } else {
      std::string last = j.reasons.empty() ? std::string() : j.reasons.back();
      for (const char* strong : {"enabled", "enable-failed", "guarded"})
        if (std::find(j.reasons.begin(), j.reasons.end(), strong) != j.reasons.end()) last = strong;
      Action a = ActionOf(last);
      r.action = a.action;
      r.reason = a.reason;
      if (last == "guarded" && !j.guardWhy.empty()) r.reason += ": " + j.guardWhy;
    }
    // The trace says "disabled" for a disable that was tried; the device's
    // state says whether it took.
    if (r.action == "disabled" && device != nullptr && !device->disabledAfter && !device->pendingAfter) {
      r.action = "not-disableable";
      r.reason = "forbidden, but the disable did not take (the class installer refused, or no administrator rights)";
    }
    if (r.action == "disabled" && device != nullptr) {
      r.afterRestart = device->pendingAfter && !device->pendingBefore && !device->disabledAfter;
      if (r.afterRestart) r.reason += " at the next restart of Windows (a device below it is in use)";
      for (const MachineDevice* child : descendants(device->id)) {
        // Present before and gone now; or, for a change waiting for the
        // restart, everything present below it.
        bool gone = r.afterRestart ? child->presentAfter : child->plugged && !child->presentAfter;
        if (!gone) continue;
        r.takesAlong.push_back(child->id);
        if (!lostThrough.count(Upper(child->id))) lostThrough[Upper(child->id)] = device->id;
      }
      lostThrough[Upper(device->id)] = device->id;
    }
    std::string quotedId;
    for (char c : r.instanceId) quotedId += c == '\\' ? std::string("\\\\") : std::string(1, c);
    for (const std::string& record : audit)
      if (record.find("\"" + quotedId + "\"") != std::string::npos) r.audit.push_back(record);
    if (device != nullptr && !device->name.empty())
      for (const std::string& tip : tips)
        if (tip.find(device->name) != std::string::npos) r.tips.push_back(tip);
    report.devices.push_back(std::move(r));
  }
  // A device judged while it was leaving with its parent says so.
  for (DeviceReport& r : report.devices) {
    auto lost = lostThrough.find(Upper(r.instanceId));
    if (r.action != "disabled" && lost != lostThrough.end()) r.reason += "; it leaves the machine with " + lost->second;
  }
  // Disabled first, then what was left alone, each in ID order.
  std::stable_sort(report.devices.begin(), report.devices.end(), [](const DeviceReport& a, const DeviceReport& b) {
    auto rank = [](const std::string& action) {
      static const char* const order[] = {"disabled", "guarded", "not-disableable", "already-off",
                                          "enabled",  "allowed", "excluded"};
      return std::find(std::begin(order), std::end(order), action) - std::begin(order);
    };
    return rank(a.action) < rank(b.action);
  });

  std::set<std::string> systemDisks = SystemDisks(machine);
  for (const MachineDevice& d : machine) {
    auto lost = lostThrough.find(Upper(d.id));
    if (lost == lostThrough.end()) continue;
    std::string kind = LockoutKind(d, systemDisks);
    if (kind.empty()) continue;
    report.lockout.push_back({d.id, Describe(&d, d.id), kind, lost->second});
  }
  return report;
}

namespace {

void Line(std::string& out, const std::string& text) { out += text + "\n"; }

void DeviceBlock(std::string& out, const DeviceReport& r, bool full) {
  Line(out, "  " + r.instanceId);
  Line(out, "    \"" + r.description + "\": " + r.action + " - " + r.reason);
  if (r.action != "excluded" || full) {
    std::string ids;
    for (const std::string& id : r.deviceIds) ids += (ids.empty() ? "" : ", ") + id;
    Line(out, "    verdict " + r.verdict +
                  (r.strategyId.empty() || r.strategyId == "0" ? "" : ", strategy " + r.strategyId) +
                  (ids.empty() ? "" : ", device IDs " + ids));
  }
  if (!r.definitions.empty() || full) {
    if (r.definitions.empty()) Line(out, "    no device definition covers it (the undefined device ID)");
    for (const std::string& d : r.definitions) Line(out, "    definition " + d);
  }
  for (const std::string& t : r.takesAlong) Line(out, "    takes along " + t);
  if (full || !r.audit.empty()) Line(out, "    audit records: " + std::to_string(r.audit.size()));
  if (full)
    for (const std::string& a : r.audit) Line(out, "      " + a);
  if (full || !r.tips.empty()) Line(out, "    tips: " + std::to_string(r.tips.size()));
  if (full)
    for (const std::string& t : r.tips) Line(out, "      " + t);
  if (full) {
    Line(out, "    journal lines: " + std::to_string(r.journal.size()));
    for (const std::string& j : r.journal) Line(out, "      " + j);
  }
}

}  // namespace

std::string RenderText(const Report& report, const std::string& explainId) {
  std::string out;
  if (!explainId.empty()) {
    for (const DeviceReport& r : report.devices)
      if (Upper(r.instanceId) == Upper(explainId)) {
        Line(out, "EXPLAIN");
        DeviceBlock(out, r, true);
        for (const LockoutEntry& l : report.lockout) {
          if (Upper(l.instanceId) == Upper(explainId))
            Line(out, "    LOCKOUT RISK: the " + l.kind + " is lost through " + l.lostThrough);
          else if (Upper(l.lostThrough) == Upper(explainId))
            Line(out, "    LOCKOUT RISK: takes the " + l.kind + " " + l.instanceId + " along");
        }
        return out;
      }
    Line(out, "EXPLAIN");
    Line(out, "  " + explainId + ": the module never judged it (not present, or not in the inventory)");
    return out;
  }
  std::map<std::string, int> counts;
  for (const DeviceReport& r : report.devices) ++counts[r.action];
  std::string summary;
  for (const auto& c : counts) summary += (summary.empty() ? "" : ", ") + std::to_string(c.second) + " " + c.first;
  Line(out, "DEVICES (" + std::to_string(report.devices.size()) + " seen by the module: " + summary + ")");
  std::vector<std::string> excluded;
  for (const DeviceReport& r : report.devices) {
    if (r.action == "excluded") {
      excluded.push_back(r.instanceId);
      continue;
    }
    DeviceBlock(out, r, false);
  }
  if (!excluded.empty()) {
    Line(out, "EXCLUDED (never judged; --explain ID says by which entry)");
    for (const std::string& id : excluded) Line(out, "  " + id);
  }
  Line(out, "AUDIT RECORDS (" + std::to_string(report.audit.size()) + ")");
  for (const std::string& a : report.audit) Line(out, "  " + a);
  Line(out, "TIPS (" + std::to_string(report.tips.size()) + ")");
  for (const std::string& t : report.tips) Line(out, "  " + t);
  Line(out, "LOCKOUT RISK (" + std::to_string(report.lockout.size()) + ")");
  if (report.lockout.empty()) Line(out, "  none: no input device, hub, network adapter or system disk is lost");
  for (const LockoutEntry& l : report.lockout)
    Line(out,
         "  " + l.instanceId + "  \"" + l.description + "\" (" + l.kind + ")" +
             (Upper(l.lostThrough) == Upper(l.instanceId) ? ", disabled itself" : ", lost through " + l.lostThrough));
  return out;
}

std::string RenderJson(const Report& report) {
  using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  auto string = [&](const std::string& v) { w.String(v.c_str(), static_cast<rapidjson::SizeType>(v.size())); };
  auto text = [&](const char* key, const std::string& v) {
    w.Key(key);
    string(v);
  };
  // An array under `key`, one element per value written by `each`.
  auto array = [&](const char* key, const auto& values, auto each) {
    w.Key(key);
    w.StartArray();
    for (const auto& v : values) each(v);
    w.EndArray();
  };
  auto list = [&](const char* key, const std::vector<std::string>& values) { array(key, values, string); };
  // Records the agent's libraries wrote as JSON stay JSON; others stay text.
  auto records = [&](const char* key, const std::vector<std::string>& values) {
    array(key, values, [&](const std::string& v) {
      rapidjson::Document doc;
      doc.Parse(v.c_str(), v.size());
      if (doc.HasParseError())
        string(v);
      else
        doc.Accept(w);
    });
  };
  w.StartObject();
  array("devices", report.devices, [&](const DeviceReport& r) {
    w.StartObject();
    text("instanceId", r.instanceId);
    text("description", r.description);
    text("verdict", r.verdict);
    text("strategyId", r.strategyId);
    list("deviceIds", r.deviceIds);
    list("definitions", r.definitions);
    text("action", r.action);
    text("reason", r.reason);
    w.Key("afterRestart");
    w.Bool(r.afterRestart);
    list("takesAlong", r.takesAlong);
    records("audit", r.audit);
    records("tips", r.tips);
    w.EndObject();
  });
  array("lockoutRisk", report.lockout, [&](const LockoutEntry& l) {
    w.StartObject();
    text("instanceId", l.instanceId);
    text("description", l.description);
    text("kind", l.kind);
    text("lostThrough", l.lostThrough);
    w.EndObject();
  });
  records("audit", report.audit);
  records("tips", report.tips);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

}  // namespace whatif
