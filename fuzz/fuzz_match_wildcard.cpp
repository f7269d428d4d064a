// MatchWildcard against the literal recursive rule on short inputs, and
// against nothing but the sanitizers on long ones.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <string>

#include "DeviceRecord.h"
#include "fuzz_support.h"

namespace {

// Inputs longer than this skip the reference: its "?" branches double.
const size_t kReferenceLimit = 12;

bool OnlyWild(const char* p) {
  for (; *p != '\0'; ++p)
    if (*p != '*' && *p != '?') return false;
  return true;
}

// The rule as written: "?" tries nothing first, then one character; "*"
// swallows the "*" and "?" behind it and tries every later place.
bool Reference(const char* p, const char* t) {
  if (*t == '\0') return OnlyWild(p);
  if (*p == '\0') return false;
  if (*p == '?') return Reference(p + 1, t) || Reference(p + 1, t + 1);
  if (*p == '*') {
    while (*p == '*' || *p == '?') ++p;
    if (*p == '\0') return true;
    for (const char* s = t; *s != '\0'; ++s)
      if (Reference(p, s)) return true;
    return false;
  }
  return *p == *t && Reference(p + 1, t + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  std::string pattern = provider.ConsumeRandomLengthString(256);
  std::string text = provider.ConsumeRemainingBytesAsString();
  // The rule stops at the first zero byte, as the module's C strings do.
  pattern = pattern.c_str();
  text = text.c_str();

  bool got = MatchWildcard(pattern, text);
  if (pattern.size() <= kReferenceLimit && text.size() <= kReferenceLimit) {
    bool want = Reference(pattern.c_str(), text.c_str());
    if (got != want) {
      fprintf(stderr, "pattern [%s] text [%s]: got %d, rule says %d\n", pattern.c_str(), text.c_str(), got, want);
      fuzzsupport::Fail("MatchWildcard differs from the rule");
    }
  }
  return 0;
}
