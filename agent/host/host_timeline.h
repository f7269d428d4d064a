// What the module really did while a scenario played, gathered from the
// traces the machine and the agent keep: winsim's device journal, the audit
// log (audit\audit.jsonl), the user tips (notify\notifications.jsonl) and the
// module's diagnostic log (tpmlog\log_device.txt). The scenario's own events
// appear only as inputs, marked "scenario".
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class HostTimeline {
 public:
  // `installHostDir`: host path of the agent's installation folder, ending
  // with a separator; `logStart`: the size of the module's log before this
  // run's module started. Times are counted from now.
  HostTimeline(const std::string& installHostDir, uint64_t logStart);

  // Milliseconds since the timeline started.
  int64_t NowMs() const;
  // An input of the scenario, stamped now.
  void Input(const std::string& text);
  // Reads what the sources added since the last call; returns the number of
  // entries the timeline holds.
  size_t Poll();
  // True when an entry after the first `from` ones (not an input) contains `text`.
  bool Contains(size_t from, const std::string& text) const;
  // Sorted by time; inputs first among entries of the same millisecond.
  void Print(FILE* out) const;

 private:
  struct Entry {
    int64_t ms;
    size_t order;
    std::string source;
    std::string text;
  };
  struct TailedFile {
    std::string path;
    uint64_t offset = 0;
    std::string partial;  // a line still being written
  };

  void Add(int64_t ms, const std::string& source, const std::string& text);
  std::vector<std::string> NewLines(TailedFile* file);
  void PollJournal();
  void PollAudit();
  void PollTips();
  void PollLog();

  int64_t m_startMs;         // the machine's clock at the start
  int64_t m_wallStartMs;     // milliseconds since 1970 at the start
  int64_t m_journalStartMs;  // the device journal's clock at the start
  size_t m_journalSeen = 0;
  TailedFile m_audit, m_tips, m_log;
  std::vector<Entry> m_entries;
  std::vector<std::string> m_changedDevices;  // in order of first change
};
