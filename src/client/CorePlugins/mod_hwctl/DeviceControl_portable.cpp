// The portable half of the device control engine: text, matching, argument
// parsing, list edits and the capture buffer. This file calls no Win32
// function and must not include the Win32 API headers.
#include "DeviceControl_portable.h"

#include <new>

#include "common/util/DiagLog.h"

// winapi.h alone defines DM_EXPORT: seeing it means a header above pulled in
// the Win32 API.
#ifdef DM_EXPORT
#error "the portable half of the device control engine includes the Win32 API"
#endif

namespace devctl {

// ---- UTF-16 text ---------------------------------------------------------------------

size_t TextLength(const WCHAR* psz) {
  size_t n = 0;
  while (psz[n] != 0) ++n;
  return n;
}

WCHAR FoldCase(WCHAR c) {
  if (c >= 'a' && c <= 'z') return static_cast<WCHAR>(c - 'a' + 'A');
  // Latin-1 lower-case letters (0xE0..0xFE without the division sign).
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  return c;
}

bool EqualNoCase(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    if (FoldCase(*a) != FoldCase(*b)) return false;
    if (*a == 0) return true;
  }
}

bool EqualNoCase(const WString& a, const WString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

}  // namespace devctl

using namespace devctl;

// ---- Command line -----------------------------------------------------------------------

EngineResult ParseEngineCommandLine(int argc, const WCHAR* const* argv, EngineCommandLine* pLine) {
  *pLine = EngineCommandLine();
  if (argc <= 0 || argv == nullptr) return ENGINE_USAGE;

  pLine->pszBaseName = argv[0];
  for (const WCHAR* p = argv[0]; *p != 0; ++p)
    if (*p == '\\') pLine->pszBaseName = p + 1;

  int next = 1;
  for (; next < argc && (argv[next][0] == '-' || argv[next][0] == '/'); ++next) {
    const WCHAR* option = argv[next] + 1;
    if ((option[0] == 'm' || option[0] == 'M') && option[1] == ':' && option[2] != 0) {
      pLine->pszMachine = option + 2;
    } else if ((option[0] == 'r' || option[0] == 'R') && option[1] == 0) {
      pLine->bAutoReboot = true;
    } else {
      break;  // not an option: the command word
    }
  }
  if (next >= argc) return ENGINE_USAGE;

  const WCHAR* word = argv[next];
  if (word[0] == '-' || word[0] == '/') ++word;
  pLine->pszCommand = word;
  pLine->nArgs = argc - next - 1;
  pLine->ppArgs = argv + next + 1;
  return ENGINE_OK;
}

// ---- Selectors --------------------------------------------------------------------------

DeviceSelector ParseSelector(const WCHAR* text) {
  DeviceSelector selector;
  selector.bInstanceId = false;
  if (text[0] == '@') {
    selector.bInstanceId = true;
    ++text;
  }
  selector.pszWildcard = nullptr;
  if (text[0] == '\'') {
    selector.pszPattern = text + 1;
    return selector;
  }
  selector.pszPattern = text;
  for (const WCHAR* p = text; *p != 0; ++p)
    if (*p == '*') {
      selector.pszWildcard = p;
      break;
    }
  return selector;
}

namespace {
// Case-insensitive comparison of `count` units.
bool SameNoCase(const WCHAR* a, const WCHAR* b, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}
}  // namespace

bool MatchIdPattern(const WCHAR* pszId, const DeviceSelector& selector) {
  const WCHAR* pattern = selector.pszPattern;
  if (selector.pszWildcard == nullptr) return EqualNoCase(pszId, pattern);

  // The part before the first "*" is a prefix of the identifier.
  size_t prefix = static_cast<size_t>(selector.pszWildcard - pattern);
  size_t idLength = TextLength(pszId);
  if (idLength < prefix || !SameNoCase(pszId, pattern, prefix)) return false;
  const WCHAR* id = pszId + prefix;
  const WCHAR* idEnd = pszId + idLength;
  const WCHAR* pat = selector.pszWildcard;

  for (;;) {
    while (*pat == '*') ++pat;
    if (*pat == 0) return true;  // a trailing "*" takes any rest
    const WCHAR* segEnd = pat;
    while (*segEnd != 0 && *segEnd != '*') ++segEnd;
    size_t segLength = static_cast<size_t>(segEnd - pat);
    if (*segEnd == 0) {
      // The last segment must end the identifier.
      size_t rest = static_cast<size_t>(idEnd - id);
      return rest >= segLength && SameNoCase(idEnd - segLength, pat, segLength);
    }
    // A segment is taken at its first place of occurrence from the left.
    const WCHAR first = FoldCase(*pat);
    for (;;) {
      while (id < idEnd && FoldCase(*id) != first) ++id;
      if (id == idEnd) return false;
      if (static_cast<size_t>(idEnd - id) >= segLength && SameNoCase(id, pat, segLength)) break;
      ++id;
    }
    id += segLength;
    pat = segEnd;
  }
}

bool MatchAnyId(const WCHAR* const* ppIds, const DeviceSelector& selector) {
  if (ppIds == nullptr) return false;
  for (; *ppIds != nullptr; ++ppIds)
    if (MatchIdPattern(*ppIds, selector)) return true;
  return false;
}

SelectionArgs ParseSelectionArgs(int nArgs, const WCHAR* const* ppArgs) {
  SelectionArgs args;
  int next = 0;
  if (ppArgs[0][0] == '=' && ppArgs[0][1] != 0) args.pszClass = ppArgs[next++] + 1;
  if (next < nArgs && ppArgs[next][0] == '*' && ppArgs[next][1] == 0) {
    args.bSelectAll = true;
    ++next;
  }
  if (next >= nArgs) args.bSelectAll = true;
  args.selectors.reserve(static_cast<size_t>(nArgs - next));
  for (int i = next; i < nArgs; ++i) {
    const DeviceSelector selector = ParseSelector(ppArgs[i]);
    args.selectors.push_back(selector);
    if (selector.pszWildcard != nullptr || !selector.bInstanceId) args.bSearch = true;
  }
  return args;
}

// ---- Multi-string values ------------------------------------------------------------------

MultiStringList::MultiStringList(std::vector<WCHAR> units) : m_units(std::move(units)) {
  // Two terminators end the value whether or not its own are there.
  m_units.push_back(0);
  m_units.push_back(0);
  for (WCHAR* p = m_units.data(); *p != 0; p += TextLength(p) + 1) m_strings.push_back(p);
  m_strings.push_back(nullptr);
}

PropertyString::PropertyString(std::vector<WCHAR> units) : m_units(std::move(units)) { m_units.push_back(0); }

std::vector<WString> ParseMultiString(const WCHAR* p, size_t units) {
  std::vector<WString> list;
  size_t i = 0;
  while (i < units && p[i] != 0) {
    size_t start = i;
    while (i < units && p[i] != 0) ++i;
    list.emplace_back(p + start, i - start);
    ++i;
  }
  return list;
}

WString BuildMultiString(const std::vector<WString>& list) {
  WString block;
  for (const WString& item : list) {
    block += item;
    block.push_back(0);
  }
  block.push_back(0);
  return block;
}

// ---- List edits ---------------------------------------------------------------------------

namespace {

int FindNoCase(const std::vector<WString>& list, const WString& name, size_t from) {
  for (size_t i = from; i < list.size(); ++i)
    if (EqualNoCase(list[i], name)) return static_cast<int>(i);
  return -1;
}

void RemoveAllNoCase(std::vector<WString>* list, const WString& id, size_t* place) {
  for (size_t i = 0; i < list->size();) {
    if (EqualNoCase((*list)[i], id)) {
      // A real place (not "the end") keeps pointing just after the previous ID.
      const bool real = *place <= list->size();
      list->erase(list->begin() + static_cast<std::ptrdiff_t>(i));
      if (real && i < *place) --*place;
    } else {
      ++i;
    }
  }
}

}  // namespace

EngineResult EditHardwareIds(std::vector<WString>* pList, int nOps, const WCHAR* const* ppOps) {
  const size_t kEnd = static_cast<size_t>(-1);
  size_t place = kEnd;  // where an ID without prefix goes: behind the previous insertion
  for (int i = 0; i < nOps; ++i) {
    const WCHAR* op = ppOps[i];
    WCHAR mode = 0;
    if (op[0] == '=' || op[0] == '+' || op[0] == '-' || op[0] == '!') mode = *op++;
    if (op[0] == 0) return ENGINE_USAGE;
    WString id(op);
    RemoveAllNoCase(pList, id, &place);
    switch (mode) {
      case '=':
        pList->clear();
        pList->insert(pList->begin(), id);
        place = 1;
        break;
      case '+':
        pList->insert(pList->begin(), id);
        place = 1;
        break;
      case '-':
        pList->push_back(id);
        place = pList->size();
        break;
      case '!': place = kEnd; break;
      default: {
        size_t at = place > pList->size() ? pList->size() : place;
        pList->insert(pList->begin() + static_cast<std::ptrdiff_t>(at), id);
        place = at + 1;
        break;
      }
    }
  }
  return ENGINE_OK;
}

EngineResult EditFilterList(std::vector<WString>* pList, int nOps, const WCHAR* const* ppOps,
                            const std::function<bool(const WString&)>& isService, bool* pbModified) {
  *pbModified = false;
  // The current position (-1: none) and the step from it to the next place.
  int position = -1;
  int step = 1;
  for (int i = 0; i < nOps; ++i) {
    const WCHAR* op = ppOps[i];
    if (op[0] == '=') {
      position = -1;
      step = 1;
      while (op[0] == '=') ++op;
      if (op[0] == 0) continue;
    }
    const WCHAR kind = op[0];
    // An empty operation has no name behind its (missing) kind character.
    if (kind != '@' && kind != '!' && kind != '+' && kind != '-') return ENGINE_USAGE;
    const WString name(op + 1);
    if (name.empty()) return ENGINE_USAGE;
    const size_t next = position < 0 ? 0 : static_cast<size_t>(position + step);
    if (kind == '@' || kind == '!') {
      int found = FindNoCase(*pList, name, next);
      if (found < 0) return ENGINE_FAIL;
      position = found;
      step = 1;
      if (kind == '!') {
        pList->erase(pList->begin() + found);  // the position now names the next entry
        step = 0;
        *pbModified = true;
      }
      continue;
    }
    if (!isService(name)) return ENGINE_FAIL;
    size_t at;
    if (kind == '+')
      at = position < 0 ? pList->size() : next;
    else
      at = position < 0 ? 0 : static_cast<size_t>(position);
    if (at > pList->size()) at = pList->size();
    pList->insert(pList->begin() + static_cast<std::ptrdiff_t>(at), name);
    position = static_cast<int>(at);
    step = 1;
    *pbModified = true;
  }
  return ENGINE_OK;
}

// ---- Capture buffer -------------------------------------------------------------------------

namespace {
// A few hundred typical records: most commands report one device, and a
// whole-machine find grows the buffer once and keeps the room.
const size_t kFirstOutputUnits = 64 * 1024;
}  // namespace

DeviceOutputBuffer::DeviceOutputBuffer() { m_text.reserve(kFirstOutputUnits); }

bool DeviceOutputBuffer::Append(const WCHAR* pszText, size_t length) {
  if (m_bDropped) return false;
  try {
    m_text.append(pszText, length);
    return true;
  } catch (const std::bad_alloc&) {
    DIAG_LOG(LOG_WARN, "capture buffer full at %u units, further device records dropped",
             static_cast<unsigned>(m_text.size()));
    m_bDropped = true;
    return false;
  }
}

void DeviceOutputBuffer::Clear() {
  m_text.clear();
  m_bDropped = false;
}
