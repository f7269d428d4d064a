// What every part of the module shares at run time and nothing owns: the stop
// flag the loops poll, the pause on the system clock, and the rank of the
// locks a thread holds. Low in the house: the exports, the threads, the
// monitors and the policy engine include it; it includes nothing of theirs.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

// Read on every pass of every module loop; nothing in the module sets it.
extern std::atomic<bool> g_bExit;

// Sleeps until the system clock has advanced by `interval` units of 100 ns.
void SleepSystemInterval(uint64_t interval);

// The module's locks in the order a thread may take them, outermost first.
// A thread holding one never asks for one of the same or a lower rank, so no
// two threads can wait for each other.
enum class LockRank : int {
  kNone = 0,
  kPolicyPass = 1,  // a whole policy pass, reset or uninstall action
  kDeviceList = 2,  // one device list, never two at once
  kFacade = 3,      // the device-control facade and the forbidden-device file: leaves
};

// Marks the rank of a lock about to be taken for as long as it is held. In
// debug builds it asserts the thread's rank only ever goes up; elsewhere it
// costs nothing.
class LockRankScope {
 public:
  explicit LockRankScope(LockRank rank);
  ~LockRankScope();
  LockRankScope(const LockRankScope&) = delete;
  LockRankScope& operator=(const LockRankScope&) = delete;

 private:
#ifndef NDEBUG
  int m_iOuter;
#endif
};

// A mutex held for a scope at its rank: the rank is marked before the lock is
// asked for, so a lock taken out of order asserts instead of deadlocking.
class RankedLock {
 public:
  RankedLock(std::mutex& mtx, LockRank rank) : m_rank(rank), m_lock(mtx) {}

 private:
  LockRankScope m_rank;  // declared first: released after the lock
  std::lock_guard<std::mutex> m_lock;
};
