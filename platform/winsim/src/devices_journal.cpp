// The device journal: every change of the device tree with its time and
// cause, kept for the control API and, for a test that kills the process,
// mirrored to files outside it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "devices.h"

namespace winsim {
namespace internal {

namespace {

// The journal clock's origin; first read at whatever loads the first machine.
uint64_t& EpochMs() {
  static uint64_t epoch = UntrackedMonotonicMs();
  return epoch;
}

std::string g_mirrorJournal, g_mirrorStates;  // under the model's mutex

// Appends and replaces with POSIX calls only: the process may be killed at
// any moment, and what was written must be whole.
void MirrorChange(const DeviceJournalEntry& entry) {
  std::string line = entry.instanceId + "\t" + entry.change + "\t" + entry.call + "\n";
  int fd = open(g_mirrorJournal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
  }
  std::string states;
  for (const auto& n : Model().nodes)
    if (!n->removed && n->registered && n->known)
      states += Utf8(n->id) + "\t" + (n->plugged ? "1" : "0") + "\t" + (n->configDisabled ? "1" : "0") + "\t" +
                (n->inUse ? "1" : "0") + "\t" + (n->pendingReboot ? "1" : "0") + "\n";
  std::string temporary = g_mirrorStates + ".tmp";
  fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, states.data(), states.size());
  close(fd);
  if (written == static_cast<ssize_t>(states.size())) rename(temporary.c_str(), g_mirrorStates.c_str());
}
}  // namespace

void Journal(const std::u16string& id, const std::string& change, const std::string& call) {
  Model().journal.push_back({ElapsedMs(), Utf8(id), change, call});
  if (!g_mirrorJournal.empty()) MirrorChange(Model().journal.back());
}

uint64_t ElapsedMs() { return UntrackedMonotonicMs() - EpochMs(); }

void RestartJournalClock() { EpochMs() = UntrackedMonotonicMs(); }

}  // namespace internal

// ---- control API ----

using namespace internal;

void MirrorDeviceChanges(const std::string& journalPath, const std::string& statesPath) {
  auto& m = Model();
  ModelLock lock(m.mutex);
  g_mirrorJournal = statesPath.empty() ? std::string() : journalPath;
  g_mirrorStates = statesPath;
}

std::vector<DeviceJournalEntry> DeviceJournal() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  return m.journal;
}

void ClearDeviceJournal() {
  auto& m = Model();
  ModelLock lock(m.mutex);
  m.journal.clear();
}

uint64_t JournalClockMs() { return ElapsedMs(); }

}  // namespace winsim
