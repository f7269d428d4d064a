// What every part of the module shares at run time and nothing owns: the stop
// flag the loops poll, and the pause on the system clock. Low in the house:
// the exports, the threads and the monitors include it; it includes nothing
// of theirs.
#pragma once
#include <atomic>
#include <cstdint>

// Read on every pass of every module loop; nothing in the module sets it.
extern std::atomic<bool> g_bExit;

// Sleeps until the system clock has advanced by `interval` units of 100 ns.
void SleepSystemInterval(uint64_t interval);
