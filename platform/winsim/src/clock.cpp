// The machine's clock (real or virtual), the waits built on it, and the
// system thread that runs the machine's own scheduled work.
#include "clock.h"

#include <time.h>

#include <algorithm>
#include <map>
#include <thread>

#include "machine.h"

namespace winsim {
namespace internal {

// One thread blocked in a wait. Lives on the waiting thread's stack; it is in
// the lists only while the thread is inside WaitUntil.
struct ClockWaiter {
  ClockCondition* condition = nullptr;
  std::mutex* mutex = nullptr;
  uint64_t deadlineMs = kNoDeadline;
  bool blocked = false;  // counted in ClockState::blocked
};

namespace {

uint64_t HostNs(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

struct ClockState {
  std::mutex mutex;
  std::condition_variable changed;  // wakes the timekeeper
  bool isVirtual = false;
  // Virtual: the monotonic and wall times now. Real: offsets that keep time
  // from running backwards after the machine went back to the real clock.
  uint64_t virtualNs = 0;
  int64_t virtualWallNs = 0;
  uint64_t realOffsetNs = 0;
  int known = 0;                      // threads that count
  int blocked = 0;                    // of those, blocked in a wait
  int announced = 0;                  // threads created but not yet running
  std::vector<ClockWaiter*> waiters;  // every registered waiter
  bool timekeeperStarted = false;

  // With `mutex` held.
  bool MayAdvance() const { return isVirtual && known > 0 && blocked >= known && announced == 0; }

  void Unblock(ClockWaiter* w) {
    if (w->blocked) {
      w->blocked = false;
      --blocked;
    }
  }

  // The timekeeper: when every known thread waits, moves virtual time to the
  // earliest deadline and wakes the waiters that reached it.
  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      uint64_t next = kNoDeadline;
      changed.wait(lock, [&] {
        if (!MayAdvance()) return false;
        next = kNoDeadline;
        for (const ClockWaiter* w : waiters)
          if (w->blocked) next = std::min(next, w->deadlineMs);
        return next != kNoDeadline;
      });
      uint64_t nextNs = next >= UINT64_MAX / 1000000 ? UINT64_MAX : next * 1000000;
      if (nextNs > virtualNs) {
        virtualWallNs += static_cast<int64_t>(nextNs - virtualNs);
        virtualNs = nextNs;
      }
      std::vector<std::pair<std::mutex*, ClockCondition*>> wake;
      for (ClockWaiter* w : waiters) {
        if (!w->blocked || w->deadlineMs > virtualNs / 1000000) continue;
        Unblock(w);
        auto entry = std::make_pair(w->mutex, w->condition);
        if (std::find(wake.begin(), wake.end(), entry) == wake.end()) wake.push_back(entry);
      }
      lock.unlock();
      // The waiter registered under its own mutex and releases it only inside
      // its wait: taking it here means the notification cannot be missed.
      for (auto& [m, c] : wake) {
        std::lock_guard<std::mutex> guard(*m);
        c->cv_.notify_all();
      }
      lock.lock();
    }
  }

  void StartTimekeeper() {
    if (timekeeperStarted) return;
    timekeeperStarted = true;
    std::thread([this] { Run(); }).detach();
  }
};

namespace {

ClockState& Clock() {
  static ClockState* state = new ClockState;  // never destroyed: detached threads use it to the end
  return *state;
}

// Counts the thread while it lives.
struct KnownThread {
  bool known = false;
  ~KnownThread() {
    if (!known) return;
    ClockState& c = Clock();
    std::lock_guard<std::mutex> lock(c.mutex);
    --c.known;
    c.changed.notify_all();
  }
};
thread_local KnownThread t_known;

uint64_t NowNsLocked(const ClockState& c) {
  return c.isVirtual ? c.virtualNs : HostNs(CLOCK_BOOTTIME) + c.realOffsetNs;
}

}  // namespace

void KnowThisThread() {
  if (t_known.known) return;
  ClockState& c = Clock();
  std::lock_guard<std::mutex> lock(c.mutex);
  t_known.known = true;
  ++c.known;
}

bool ClockIsVirtual() {
  ClockState& c = Clock();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.isVirtual;
}

uint64_t MonotonicNs() {
  KnowThisThread();
  ClockState& c = Clock();
  std::lock_guard<std::mutex> lock(c.mutex);
  return NowNsLocked(c);
}

uint64_t UntrackedMonotonicMs() {
  ClockState& c = Clock();
  std::lock_guard<std::mutex> lock(c.mutex);
  return NowNsLocked(c) / 1000000;
}

int64_t WallClockNs() {
  KnowThisThread();
  ClockState& c = Clock();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.isVirtual) return c.virtualWallNs;
  return static_cast<int64_t>(HostNs(CLOCK_REALTIME));
}

uint64_t DeadlineAfterMs(DWORD ms) { return ms == INFINITE ? kNoDeadline : MonotonicMs() + ms; }

void SetClockVirtual(bool on) {
  ClockState& c = Clock();
  std::vector<std::pair<std::mutex*, ClockCondition*>> wake;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    if (on == c.isVirtual) return;
    if (on) {
      // On a whole millisecond, where every deadline falls.
      c.virtualNs = (NowNsLocked(c) / 1000000 + 1) * 1000000;
      c.virtualWallNs = static_cast<int64_t>(HostNs(CLOCK_REALTIME));
      c.isVirtual = true;
      c.StartTimekeeper();
    } else {
      uint64_t real = HostNs(CLOCK_BOOTTIME);
      c.realOffsetNs = c.virtualNs > real ? c.virtualNs - real : 0;
      c.isVirtual = false;
    }
    // Waits under way look at their deadlines again on the new clock.
    for (ClockWaiter* w : c.waiters) {
      c.Unblock(w);
      wake.emplace_back(w->mutex, w->condition);
    }
    c.changed.notify_all();
  }
  for (auto& [m, cond] : wake) {
    std::lock_guard<std::mutex> guard(*m);
    cond->NotifyAll();
  }
}

bool ClockCondition::WaitUntil(std::unique_lock<std::mutex>& lock, uint64_t deadlineMs,
                               const std::function<bool()>& ready) {
  KnowThisThread();
  ClockState& c = Clock();
  for (;;) {
    if (ready()) return true;
    ClockWaiter self;
    self.condition = this;
    self.mutex = lock.mutex();
    self.deadlineMs = deadlineMs;
    bool isVirtual = false;
    bool expired = false;
    uint64_t nowNs = 0;
    {
      std::lock_guard<std::mutex> clockLock(c.mutex);
      isVirtual = c.isVirtual;
      nowNs = NowNsLocked(c);
      expired = deadlineMs != kNoDeadline && nowNs / 1000000 >= deadlineMs;
    }
    // Asked without the clock's lock: a condition may take locks of its own
    // (a message queue's) that are held while the clock is notified.
    if (expired) return ready();
    {
      std::lock_guard<std::mutex> clockLock(c.mutex);
      // The clock may have moved meanwhile; the next round sees it.
      self.blocked = true;
      ++c.blocked;
      c.waiters.push_back(&self);
      waiters_.push_back(&self);
      c.changed.notify_all();  // the timekeeper, and threads waiting for a quiet machine
    }
    if (isVirtual || deadlineMs == kNoDeadline) {
      cv_.wait(lock);
    } else {
      uint64_t left = deadlineMs * 1000000 - nowNs;
      cv_.wait_for(lock, std::chrono::nanoseconds(left));
    }
    {
      std::lock_guard<std::mutex> clockLock(c.mutex);
      c.Unblock(&self);
      c.waiters.erase(std::find(c.waiters.begin(), c.waiters.end(), &self));
      waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &self));
    }
  }
}

void ClockCondition::NotifyAll() {
  ClockState& c = Clock();
  {
    std::lock_guard<std::mutex> clockLock(c.mutex);
    // Woken waiters count as running until they have looked at their
    // condition: the clock must not move past them meanwhile.
    for (ClockWaiter* w : waiters_) c.Unblock(w);
  }
  cv_.notify_all();
}

// ---------------------------------------------------------------- system thread

namespace {

struct Scheduled {
  std::mutex mutex;
  ClockCondition changed;
  std::multimap<std::pair<uint64_t, uint64_t>, std::function<void()>> work;  // (due, sequence)
  uint64_t sequence = 0;
  bool running = false;  // a work item is being run
  bool started = false;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      uint64_t due = work.empty() ? kNoDeadline : work.begin()->first.first;
      // Also wakes when earlier work arrives, to wait for that instead.
      changed.WaitUntil(lock, due, [&] {
        uint64_t first = work.empty() ? kNoDeadline : work.begin()->first.first;
        return first != due || (first != kNoDeadline && first <= MonotonicMs());
      });
      if (work.empty() || work.begin()->first.first > MonotonicMs()) continue;
      std::function<void()> item = std::move(work.begin()->second);
      work.erase(work.begin());
      running = true;
      lock.unlock();
      try {
        item();
      } catch (...) {
        // The machine's own work never takes the system thread down.
      }
      lock.lock();
      running = false;
      changed.NotifyAll();
    }
  }
};

Scheduled& System() {
  static Scheduled* s = new Scheduled;
  return *s;
}

void AnnounceLocked(int delta) {
  ClockState& c = Clock();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.announced += delta;
  c.changed.notify_all();
}

}  // namespace

void ScheduleAt(uint64_t dueMs, std::function<void()> work) {
  Scheduled& s = System();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.work.emplace(std::make_pair(dueMs, s.sequence++), std::move(work));
  if (!s.started) {
    s.started = true;
    AnnounceLocked(+1);
    std::thread([&s] {
      KnowThisThread();
      AnnounceLocked(-1);
      s.Run();
    }).detach();
  }
  s.changed.NotifyAll();
}

bool WaitUntilNoScheduledWork(uint64_t deadlineMs) {
  Scheduled& s = System();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.WaitUntil(lock, deadlineMs, [&] { return s.work.empty() && !s.running; });
}

// The description's "clock": "real" (the default) or "virtual".
const bool kClockLoader = RegisterSectionLoader("clock", [](const rapidjson::Value* section, const LoadContext&,
                                                            std::function<void()>* commit, std::string* error) {
  bool on = false;
  if (section) {
    std::string text = section->IsString() ? section->GetString() : "";
    if (text != "real" && text != "virtual") {
      *error = "must be \"real\" or \"virtual\"";
      return false;
    }
    on = text == "virtual";
  }
  *commit = [on] { SetClockVirtual(on); };
  return true;
});

}  // namespace internal

// ---------------------------------------------------------------- control API

void AnnounceThread() { internal::AnnounceLocked(+1); }

void AnnouncedThreadBegins() {
  internal::KnowThisThread();
  internal::AnnounceLocked(-1);
}

bool VirtualClock() { return internal::ClockIsVirtual(); }

bool WaitForQuietMachine(unsigned timeoutMs) {
  using namespace internal;
  KnowThisThread();
  ClockState& c = Clock();
  // This thread keeps running meanwhile, so virtual time stands still: when
  // the others all wait, nothing more happens until time moves.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(c.mutex);
  for (;;) {
    if (c.blocked >= c.known - 1 && c.announced == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    c.changed.wait_for(lock, std::chrono::milliseconds(1));
  }
}

uint64_t ClockMs() { return internal::MonotonicMs(); }

}  // namespace winsim

void WinsimAnnounceThread(void) { winsim::AnnounceThread(); }
void WinsimThreadBegins(void) { winsim::AnnouncedThreadBegins(); }
