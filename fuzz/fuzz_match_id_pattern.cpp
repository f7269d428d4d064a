// MatchIdPattern: no crash on any identifier and pattern; an identifier
// matches itself, literally and in upper case; on ASCII input the result
// equals a plain glob where "*" is any run and case is ignored.
#include <cstdio>
#include <vector>

#include "DeviceControl_win32.h"
#include "fuzz_support.h"

namespace {

WCHAR Fold(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c; }
WString Upper(WString s) {
  for (WCHAR& c : s) c = Fold(c);
  return s;
}

// Classic backtracking glob over "*" only, case-insensitive for ASCII.
bool Glob(const WCHAR* p, const WCHAR* t) {
  const WCHAR* star = nullptr;
  const WCHAR* resume = nullptr;
  while (*t != 0) {
    if (*p == '*') {
      star = ++p;
      resume = t;
    } else if (*p != 0 && Fold(*p) == Fold(*t)) {
      ++p;
      ++t;
    } else if (star != nullptr) {
      p = star;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == 0;
}

DeviceSelector Selector(const WString& pattern, bool wildcard) {
  DeviceSelector selector{};
  selector.pszPattern = pattern.c_str();
  selector.pszWildcard = nullptr;
  selector.bInstanceId = FALSE;
  if (wildcard) {
    size_t star = pattern.find(WCHAR('*'));
    if (star != WString::npos) selector.pszWildcard = pattern.c_str() + star;
  }
  return selector;
}

bool IsAscii(const WString& s) {
  for (WCHAR c : s)
    if (c >= 0x80) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<WString> parts = fuzzsupport::SplitWide(data, size, 2);
  const WString& id = parts[0];
  const WString pattern = parts.size() > 1 ? parts[1] : WString();

  bool literal = MatchIdPattern(id.c_str(), Selector(pattern, false));
  bool wild = MatchIdPattern(id.c_str(), Selector(pattern, true));

  if (!MatchIdPattern(id.c_str(), Selector(id, false))) fuzzsupport::Fail("an ID does not match itself literally");
  const WString upper = Upper(id);
  if (!MatchIdPattern(id.c_str(), Selector(upper, false)))
    fuzzsupport::Fail("an ID does not match its upper-case form");
  // Every "*" of the ID can stand for itself, so the ID matches itself as a pattern.
  if (!MatchIdPattern(id.c_str(), Selector(id, true))) fuzzsupport::Fail("an ID does not match itself as a pattern");

  if (IsAscii(id) && IsAscii(pattern)) {
    if (literal != (upper == Upper(pattern)))
      fuzzsupport::Fail("literal selector differs from a case-blind comparison");
    bool wantWild = Glob(pattern.c_str(), id.c_str());
    if (wild != wantWild) {
      fprintf(stderr, "wildcard result %d, glob says %d\n", wild, wantWild);
      fuzzsupport::Fail("wildcard selector differs from the glob");
    }
  }
  return 0;
}
