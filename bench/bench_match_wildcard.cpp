// MatchWildcard on patterns that make a naive backtracking matcher explode,
// against 200-character device IDs that almost match (target: 1 ms or less).
#include <benchmark/benchmark.h>

#include <string>

#include "DeviceRecord.h"

namespace {

// A 200-character ID of 'a's with no 'b' and no 'x': every pattern below
// fails, but only after trying its stars at every place.
std::string LongId(char fill) {
  std::string id = "USB\\VID_0781&PID_5567\\";
  id.append(200 - id.size(), fill);
  return id;
}

void BM_MatchWildcard(benchmark::State& state, const char* pattern, char fill) {
  const std::string text = LongId(fill);
  const std::string pat = pattern;
  for (auto _ : state) benchmark::DoNotOptimize(MatchWildcard(pat, text));
}

}  // namespace

BENCHMARK_CAPTURE(BM_MatchWildcard, star_question_x, "*?*?*?*?*?*?*?*?x", 'a')->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MatchWildcard, star_a_then_b, "*a*a*a*a*a*b", 'a')->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MatchWildcard, usb_prefix, "USB\\VID_0781*", 'a')->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
