// The machine's clock: every time source and every timed wait of winsim goes
// through here. By default it is the host's clock. A machine description with
// "clock": "virtual" puts the whole process on one virtual clock that moves
// only when every thread winsim knows of is blocked in one of winsim's waits
// (or has ended), and then jumps straight to the earliest deadline: a
// simulated day passes in seconds, and a thread that computes is never
// overtaken by a time-out.
//
// A thread is known from its first call of a time function or a wait, or from
// the moment its creator announced it (AnnounceThread). A known thread that
// blocks in something winsim cannot see (a host mutex held by a thread that
// waits on the clock, a pipe) holds virtual time still.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "winsim/win32.h"

namespace winsim {
namespace internal {

constexpr uint64_t kNoDeadline = UINT64_MAX;

bool ClockIsVirtual();
// Monotonic time: on the real clock the host's time since boot (as
// GetTickCount counts it); on the virtual clock the same origin, moved by the
// clock alone.
uint64_t MonotonicNs();
inline uint64_t MonotonicMs() { return MonotonicNs() / 1000000; }
// The same without making the calling thread known (time stamps of records).
uint64_t UntrackedMonotonicMs();
// Wall-clock time in nanoseconds since 1970-01-01 UTC.
int64_t WallClockNs();
// The monotonic time `ms` milliseconds from now; INFINITE never comes.
uint64_t DeadlineAfterMs(DWORD ms);

// Makes the calling thread known to the clock (idempotent).
void KnowThisThread();

struct ClockWaiter;

// A condition variable that waits on the machine's clock. Every object of
// this type lives as long as the process (the clock's own thread may notify
// it after its waiter has left).
class ClockCondition {
 public:
  ClockCondition() = default;
  ClockCondition(const ClockCondition&) = delete;
  ClockCondition& operator=(const ClockCondition&) = delete;

  // With `lock` held: waits until `ready()` holds (true) or the monotonic
  // time reaches `deadlineMs` (false; `ready()` is looked at once more).
  bool WaitUntil(std::unique_lock<std::mutex>& lock, uint64_t deadlineMs, const std::function<bool()>& ready);
  // Wakes every waiter so that it looks at its condition again. Call it with
  // the waiters' mutex held, or a waiter may miss it.
  void NotifyAll();

 private:
  friend struct ClockState;
  std::condition_variable cv_;
  std::vector<ClockWaiter*> waiters_;  // guarded by the clock's own mutex
};

// Work the machine does by itself at a given time, as Windows' Plug and Play
// manager does (a child device that starts late, a broadcast): it runs on
// winsim's system thread, in order of time, then of scheduling.
void ScheduleAt(uint64_t dueMs, std::function<void()> work);
// Waits on the clock until no scheduled work is left (or running), at most
// until `deadlineMs`. True when idle.
bool WaitUntilNoScheduledWork(uint64_t deadlineMs);

// Machine loading switches the clock (the "clock" member).
void SetClockVirtual(bool on);

}  // namespace internal
}  // namespace winsim
