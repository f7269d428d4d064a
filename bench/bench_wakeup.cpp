// The machine's own price of a thread waking up: a thread that only sleeps
// 100 ms at a time, and the run time the scheduler charged it per wake-up.
// Idle CPU figures are mostly wake-ups times this price; on a virtual machine
// it can be ten times that of bare metal.
//
// usage: bench_wakeup [--wakeups N]   (default 50)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "bench_agent.h"

namespace {

// Run time (ns) and number of times run of the calling thread.
bool ThreadRunTime(unsigned long long* ns, unsigned long long* runs) {
  std::ifstream in("/proc/thread-self/schedstat");
  unsigned long long waited = 0;
  return static_cast<bool>(in >> *ns >> waited >> *runs);
}

}  // namespace

int main(int argc, char** argv) {
  int wakeups = 50;
  if (argc == 3 && strcmp(argv[1], "--wakeups") == 0) wakeups = atoi(argv[2]);
  if (wakeups < 1) wakeups = 1;
  unsigned long long ns0 = 0, runs0 = 0, ns1 = 0, runs1 = 0;
  if (!ThreadRunTime(&ns0, &runs0)) {
    fprintf(stderr, "bench_wakeup: /proc/thread-self/schedstat unreadable\n");
    return 1;
  }
  for (int i = 0; i < wakeups; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ThreadRunTime(&ns1, &runs1);
  double each = runs1 > runs0 ? static_cast<double>(ns1 - ns0) / 1e3 / static_cast<double>(runs1 - runs0) : 0;
  char note[96];
  snprintf(note, sizeof(note), "run time per wake-up of a thread that only sleeps (%llu wake-ups)", runs1 - runs0);
  bench::Figure("wakeup_cost", each, "us", note);
  return 0;
}
