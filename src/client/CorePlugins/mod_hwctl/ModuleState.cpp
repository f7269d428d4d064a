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
