// The timeline of a played scenario, from the traces of what happened only.
#include "host_timeline.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <fstream>

#include "platform/winapi.h"
#include "winsim/devices_control.h"

namespace {

// The machine's wall clock, which stamps the audit records (virtual on a
// virtual clock).
int64_t WallMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  uint64_t units = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(units / 10000 - 11644473600000ull);
}

// First string member named `key` anywhere in `v` (depth first).
bool FindString(const rapidjson::Value& v, const char* key, std::string* out) {
  if (v.IsObject()) {
    for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
      if (it->value.IsString() && std::string(it->name.GetString()) == key) {
        out->assign(it->value.GetString(), it->value.GetStringLength());
        return true;
      }
    }
    for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it)
      if (FindString(it->value, key, out)) return true;
  } else if (v.IsArray()) {
    for (auto& item : v.GetArray())
      if (FindString(item, key, out)) return true;
  }
  return false;
}

std::string OperateName(int64_t code) {
  if (code == 0x50101) return "device forbidden";
  if (code == 0x50102) return "forbidding the device FAILED";
  char text[48];
  snprintf(text, sizeof(text), "operate type 0x%llX", static_cast<unsigned long long>(code));
  return text;
}

// Lines of the module's diagnostic log worth a reader's attention: the
// schedule's milestones and every decision, never the per-pass chatter.
bool InterestingLogLine(const std::string& level, const std::string& message) {
  // A device that no strategy names is the common case, not a fault.
  if (message.find("Strategy not find!") != std::string::npos) return false;
  if (level != "INFO") return true;
  static const char* const kMarks[] = {"Begin!",
                                       "Strategy File Changed",
                                       "need re AnalysisStrategy",
                                       "ControlDeviceByStrategy :",
                                       "refind Device",
                                       "bForbid = 1",
                                       "EnableDevice success",
                                       "waishe ,do invoked erase",
                                       "EnableDeviceBeforeUninstall",
                                       "WriteDeviceLog",
                                       "RegisterDeviceNotification",
                                       "Enter Thread_",
                                       "Exit Thread_",
                                       "Thread_Module_Main End"};
  for (const char* mark : kMarks)
    if (message.find(mark) != std::string::npos) return true;
  return false;
}

}  // namespace

HostTimeline::HostTimeline(const std::string& installHostDir, uint64_t logStart)
    : m_startMs(static_cast<int64_t>(winsim::ClockMs())),
      m_wallStartMs(WallMs()),
      m_journalStartMs(static_cast<int64_t>(winsim::JournalClockMs())) {
  m_audit.path = installHostDir + "audit/audit.jsonl";
  m_tips.path = installHostDir + "notify/notifications.jsonl";
  m_log.path = installHostDir + "tpmlog/log_device.txt";
  // Records of an earlier run in the same installation are not this run's.
  for (TailedFile* file : {&m_audit, &m_tips}) {
    std::ifstream in(file->path, std::ios::binary | std::ios::ate);
    if (in) file->offset = static_cast<uint64_t>(in.tellg());
  }
  // The log already holds this run's start; an earlier run's lines are before it.
  m_log.offset = logStart;
}

int64_t HostTimeline::NowMs() const { return static_cast<int64_t>(winsim::ClockMs()) - m_startMs; }

void HostTimeline::Add(int64_t ms, const std::string& source, const std::string& text) {
  m_entries.push_back({ms, m_entries.size(), source, text});
}

void HostTimeline::Input(const std::string& text) { Add(NowMs(), "scenario", text); }

std::vector<std::string> HostTimeline::NewLines(TailedFile* file) {
  std::vector<std::string> lines;
  std::ifstream in(file->path, std::ios::binary);
  if (!in) return lines;
  in.seekg(0, std::ios::end);
  uint64_t size = static_cast<uint64_t>(in.tellg());
  if (size < file->offset) {  // rotated or rewritten: start again
    file->offset = 0;
    file->partial.clear();
  }
  if (size == file->offset) return lines;
  in.seekg(static_cast<std::streamoff>(file->offset));
  std::string chunk(static_cast<size_t>(size - file->offset), '\0');
  in.read(&chunk[0], static_cast<std::streamsize>(chunk.size()));
  chunk.resize(static_cast<size_t>(in.gcount()));
  file->offset += chunk.size();
  std::string text = file->partial + chunk;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  file->partial = text.substr(start);
  return lines;
}

void HostTimeline::PollJournal() {
  std::vector<winsim::DeviceJournalEntry> journal = winsim::DeviceJournal();
  if (journal.size() < m_journalSeen) m_journalSeen = 0;  // the journal was cleared
  for (size_t i = m_journalSeen; i < journal.size(); ++i) {
    const auto& e = journal[i];
    std::string text = e.instanceId.empty() ? e.change : e.instanceId + ": " + e.change;
    if (!e.call.empty()) text += "  [" + e.call + "]";
    Add(static_cast<int64_t>(e.timeMs) - m_journalStartMs, "device", text);
    if (!e.instanceId.empty() &&
        std::find(m_changedDevices.begin(), m_changedDevices.end(), e.instanceId) == m_changedDevices.end())
      m_changedDevices.push_back(e.instanceId);
  }
  m_journalSeen = journal.size();
}

void HostTimeline::PollAudit() {
  for (const std::string& line : NewLines(&m_audit)) {
    rapidjson::Document doc;
    doc.Parse(line.c_str(), line.size());
    if (doc.HasParseError() || !doc.IsObject()) {
      Add(NowMs(), "audit", "unreadable record: " + line.substr(0, 120));
      continue;
    }
    int64_t ms = NowMs();
    auto time = doc.FindMember("logTime");
    if (time != doc.MemberEnd() && time->value.IsInt64()) ms = time->value.GetInt64() - m_wallStartMs;
    int64_t operate = 0;
    auto op = doc.FindMember("operateType");
    if (op != doc.MemberEnd() && op->value.IsInt64()) operate = op->value.GetInt64();
    std::string id, name, type;
    FindString(doc, "deviceId", &id);
    FindString(doc, "deviceName", &name);
    FindString(doc, "deviceType", &type);
    long long policy = 0;
    auto pid = doc.FindMember("policyId");
    if (pid != doc.MemberEnd() && pid->value.IsInt64()) policy = pid->value.GetInt64();
    Add(ms, "audit",
        OperateName(operate) + ": \"" + name + "\" (" + type + ") " + id + ", policy " + std::to_string(policy));
  }
}

void HostTimeline::PollTips() {
  for (const std::string& line : NewLines(&m_tips)) {
    rapidjson::Document doc;
    doc.Parse(line.c_str(), line.size());
    std::string text;
    if (doc.HasParseError() || !FindString(doc, "text", &text)) text = line;
    Add(NowMs(), "tip", "\"" + text + "\"");
  }
}

void HostTimeline::PollLog() {
  // "<date> <time>, <name> <LEVEL>(pid-tid)<ms>[line file function], message"
  for (const std::string& line : NewLines(&m_log)) {
    size_t open = line.find('[');
    size_t close = line.find("], ", open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) continue;
    std::string head = line.substr(0, open);
    std::string level = head.find("ERROR(") != std::string::npos  ? "ERROR"
                        : head.find("WARN(") != std::string::npos ? "WARN"
                                                                  : "INFO";
    std::string where = line.substr(open + 1, close - open - 1);
    std::string function = where.substr(where.rfind(' ') + 1);
    std::string message = line.substr(close + 3);
    if (!InterestingLogLine(level, message)) continue;
    std::string text = function + ": " + message;
    if (level != "INFO") text = level + " " + text;
    Add(NowMs(), "log", text);
  }
}

size_t HostTimeline::Poll() {
  PollJournal();
  PollAudit();
  PollTips();
  PollLog();
  return m_entries.size();
}

bool HostTimeline::Contains(size_t from, const std::string& text) const {
  for (size_t i = from; i < m_entries.size(); ++i)
    if (m_entries[i].source != "scenario" &&
        (m_entries[i].source + " " + m_entries[i].text).find(text) != std::string::npos)
      return true;
  return false;
}

void HostTimeline::Print(FILE* out) const {
  std::vector<Entry> sorted = m_entries;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Entry& a, const Entry& b) {
    if (a.ms != b.ms) return a.ms < b.ms;
    return a.order < b.order;
  });
  fprintf(out,
          "\nTIMELINE  (seconds since the scenario started; \"scenario\" lines are the script's inputs,\n"
          "           every other line is what the machine, the audit log, the tips and the module's log recorded)\n");
  // The same line repeated within a moment (one pass of the module over
  // several devices) is printed once with its count.
  for (size_t i = 0; i < sorted.size();) {
    const Entry& e = sorted[i];
    size_t next = i + 1;
    while (next < sorted.size() && sorted[next].source == e.source && sorted[next].text == e.text &&
           sorted[next].ms - e.ms < 200)
      ++next;
    fprintf(out, "  %+8.2fs  %-8s  %s", static_cast<double>(e.ms) / 1000.0, e.source.c_str(), e.text.c_str());
    if (next - i > 1) fprintf(out, "  (x%zu)", next - i);
    fputc('\n', out);
    i = next;
  }
  if (!m_changedDevices.empty()) {
    fprintf(out, "\nDEVICES AT THE END\n");
    for (const std::string& id : m_changedDevices) {
      winsim::DeviceState s = winsim::GetDeviceState(id);
      const char* state = !s.exists                  ? "unknown"
                          : !s.present && s.disabled ? "unplugged, disabled"
                          : !s.present               ? "unplugged"
                          : s.disabled               ? "disabled"
                          : s.started                ? "running"
                                                     : "not started";
      fprintf(out, "  %-20s %s%s\n", state, id.c_str(), s.pendingReboot ? "  (change waits for a restart)" : "");
    }
  }
  fflush(out);
}
