#include "ModuleState.h"

#include "platform/winapi.h"

std::atomic<bool> g_bExit{false};

namespace {

uint64_t SystemTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

void SleepSystemInterval(uint64_t interval) {
  uint64_t deadline = SystemTimeNow() + interval;
  for (;;) {
    uint64_t now = SystemTimeNow();
    if (now >= deadline) return;
    uint64_t milliseconds = (deadline - now + 9999) / 10000;
    Sleep(static_cast<DWORD>(milliseconds));
  }
}

#ifndef NDEBUG
#include <cassert>

namespace {
thread_local int t_iLockRank = 0;
}  // namespace

LockRankScope::LockRankScope(LockRank rank) : m_iOuter(t_iLockRank) {
  assert(static_cast<int>(rank) > t_iLockRank && "lock taken out of order");
  t_iLockRank = static_cast<int>(rank);
}

LockRankScope::~LockRankScope() { t_iLockRank = m_iOuter; }
#else
LockRankScope::LockRankScope(LockRank) {}
LockRankScope::~LockRankScope() {}
#endif
