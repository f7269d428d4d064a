// Code pages: MultiByteToWideChar / WideCharToMultiByte over iconv, UTF-8
// coded here (its replacement rules are Windows' own), and the text helpers
// the rest of winsim uses.
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "machine.h"

namespace winsim {
namespace internal {
namespace {

const WCHAR kReplacement = 0xFFFD;

// Decodes UTF-8; each maximal invalid subsequence becomes one U+FFFD, or the
// whole call fails when `strict`.
bool DecodeUtf8(const unsigned char* s, size_t n, WStr* out, bool strict) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    }
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF)
      len = 2, cp = b & 0x1F;
    else if (b == 0xE0)
      len = 3, lo = 0xA0, cp = b & 0x0F;
    else if (b >= 0xE1 && b <= 0xEC)
      len = 3, cp = b & 0x0F;
    else if (b == 0xED)
      len = 3, hi = 0x9F, cp = b & 0x0F;  // no encoded surrogates
    else if (b >= 0xEE && b <= 0xEF)
      len = 3, cp = b & 0x0F;
    else if (b == 0xF0)
      len = 4, lo = 0x90, cp = b & 0x07;
    else if (b >= 0xF1 && b <= 0xF3)
      len = 4, cp = b & 0x07;
    else if (b == 0xF4)
      len = 4, hi = 0x8F, cp = b & 0x07;
    size_t k = 1;
    if (len) {
      for (; k < len && i + k < n; ++k) {
        unsigned char c = s[i + k];
        unsigned char l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
        if (c < l || c > h) break;
        cp = (cp << 6) | (c & 0x3F);
      }
    }
    if (!len || k < len) {
      if (strict) return false;
      out->push_back(kReplacement);
      i += k;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<WCHAR>(cp));
    }
    i += len;
  }
  return true;
}

// Encodes UTF-16; a lone surrogate becomes U+FFFD, or fails when `strict`.
bool EncodeUtf8(const WCHAR* s, size_t n, std::string* out, bool strict) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (strict) return false;
      cp = kReplacement;
    }
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

std::string IconvName(UINT codePage) {
  if (codePage == 20127) return "ASCII";
  if (codePage >= 28591 && codePage <= 28606) return "ISO-8859-" + std::to_string(codePage - 28590);
  if (codePage == 20866) return "KOI8-R";
  if (codePage == 21866) return "KOI8-U";
  return "CP" + std::to_string(codePage);
}

UINT ResolveCodePage(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP) return LockMachine().machine.codePage;
  return codePage;
}

// Code page 1252 leaves five bytes undefined; Windows maps them to the C1
// control of the same value both ways, glibc refuses them.
bool Is1252Hole(unsigned v) { return v == 0x81 || v == 0x8D || v == 0x8F || v == 0x90 || v == 0x9D; }

// Conversion descriptors opened once per code page and direction, per
// thread: opening one costs far more than a short conversion, and an iconv_t
// must not be used by two threads at once. Failed opens are kept too, so an
// unknown code page is not looked up again. Bounded: a caller walking through
// many code pages starts the cache afresh.
class IconvCache {
 public:
  IconvCache() = default;
  IconvCache(const IconvCache&) = delete;
  IconvCache& operator=(const IconvCache&) = delete;
  ~IconvCache() { Clear(); }

  iconv_t Get(UINT codePage, bool toUtf16) {
    auto key = std::make_pair(codePage, toUtf16);
    auto it = m_open.find(key);
    if (it != m_open.end()) return it->second;
    if (m_open.size() >= kMaxOpen) Clear();
    std::string name = IconvName(codePage);
    iconv_t cd = toUtf16 ? iconv_open("UTF-16LE", name.c_str()) : iconv_open(name.c_str(), "UTF-16LE");
    m_open.emplace(key, cd);
    return cd;
  }

 private:
  static const size_t kMaxOpen = 16;
  void Clear() {
    for (auto& entry : m_open)
      if (entry.second != reinterpret_cast<iconv_t>(-1)) iconv_close(entry.second);
    m_open.clear();
  }
  std::map<std::pair<UINT, bool>, iconv_t> m_open;
};

thread_local IconvCache t_iconv;

class Iconv {
 public:
  // `toUtf16`: from the code page to UTF-16LE, else the other way.
  Iconv(UINT codePage, bool toUtf16) : cd_(t_iconv.Get(codePage, toUtf16)) {
    if (ok()) iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // fresh shift state
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts as much as possible; returns 0 at the end of the input, or the
  // errno that stopped it (EILSEQ/EINVAL) with *in advanced to the bad unit.
  int Run(const char** in, size_t* inLeft, std::string* out) {
    while (*inLeft > 0) {
      char buf[1024];
      char* dst = buf;
      size_t dstLeft = sizeof(buf);
      char* src = const_cast<char*>(*in);
      size_t rc = iconv(cd_, &src, inLeft, &dst, &dstLeft);
      int err = (rc == static_cast<size_t>(-1)) ? errno : 0;
      out->append(buf, static_cast<size_t>(dst - buf));
      *in = src;
      if (err && err != E2BIG) return err;
    }
    return 0;
  }

 private:
  iconv_t cd_;
};

// Multi-byte text of `codePage` (resolved) to UTF-16. False: invalid input
// with `strict` (ERROR_NO_UNICODE_TRANSLATION) or unknown code page.
bool ToUtf16(UINT codePage, const char* text, size_t n, bool strict, WStr* out, DWORD* error) {
  if (codePage == CP_UTF8) {
    if (!DecodeUtf8(reinterpret_cast<const unsigned char*>(text), n, out, strict)) {
      *error = ERROR_NO_UNICODE_TRANSLATION;
      return false;
    }
    return true;
  }
  Iconv cv(codePage, true);
  if (!cv.ok()) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  std::string bytes;
  const char* in = text;
  size_t left = n;
  while (int err = cv.Run(&in, &left, &bytes)) {
    (void)err;
    unsigned char bad = static_cast<unsigned char>(*in);
    if (codePage == 1252 && Is1252Hole(bad)) {
      bytes.push_back(static_cast<char>(bad));
      bytes.push_back('\0');
    } else if (strict) {
      *error = ERROR_NO_UNICODE_TRANSLATION;
      return false;
    } else {
      bytes.push_back('?');
      bytes.push_back('\0');
    }
    ++in;
    --left;
  }
  out->assign(reinterpret_cast<const WCHAR*>(bytes.data()), bytes.size() / 2);
  return true;
}

// UTF-16 to the multi-byte `codePage` (resolved). Characters the page lacks
// become `defaultChar` and set *usedDefault.
bool FromUtf16(UINT codePage, const WCHAR* text, size_t n, bool strict, char defaultChar, std::string* out,
               bool* usedDefault, DWORD* error) {
  if (codePage == CP_UTF8) {
    if (!EncodeUtf8(text, n, out, strict)) {
      *error = ERROR_NO_UNICODE_TRANSLATION;
      return false;
    }
    return true;
  }
  Iconv cv(codePage, false);
  if (!cv.ok()) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  const char* begin = reinterpret_cast<const char*>(text);
  const char* in = begin;
  size_t left = n * 2;
  while (cv.Run(&in, &left, out) != 0) {
    WCHAR bad = text[(in - begin) / 2];
    size_t skip = 2;
    if (codePage == 1252 && Is1252Hole(bad)) {
      out->push_back(static_cast<char>(bad));
    } else {
      if (bad >= 0xD800 && bad <= 0xDBFF && left >= 4) {
        WCHAR next = text[(in - begin) / 2 + 1];
        if (next >= 0xDC00 && next <= 0xDFFF) skip = 4;  // one character, one default
      }
      out->push_back(defaultChar);
      *usedDefault = true;
    }
    in += skip;
    left -= skip;
  }
  return true;
}

}  // namespace

bool CodePageSupported(UINT codePage) {
  if (codePage == CP_UTF8) return true;
  Iconv cv(codePage, true);
  return cv.ok();
}

size_t WLen(const WCHAR* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

WStr Utf8ToUtf16(const std::string& text) {
  WStr out;
  DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &out, false);
  return out;
}

std::string Utf16ToUtf8(const WCHAR* text, size_t length) {
  std::string out;
  EncodeUtf8(text, length, &out, false);
  return out;
}

std::string Utf16ToUtf8(const WCHAR* zeroTerminated) {
  return zeroTerminated ? Utf16ToUtf8(zeroTerminated, WLen(zeroTerminated)) : std::string();
}

WStr AnsiToUtf16(const std::string& text) {
  WStr out;
  DWORD error = 0;
  if (!ToUtf16(ResolveCodePage(CP_ACP), text.data(), text.size(), false, &out, &error)) out.clear();
  return out;
}

std::string Utf16ToAnsi(const WStr& text) {
  std::string out;
  bool used = false;
  DWORD error = 0;
  if (!FromUtf16(ResolveCodePage(CP_ACP), text.data(), text.size(), false, '?', &out, &used, &error)) out.clear();
  return out;
}

std::string AnsiToUtf8(const std::string& text) {
  if (ResolveCodePage(CP_ACP) == CP_UTF8) return text;
  return Utf16ToUtf8(AnsiToUtf16(text));
}

std::string Utf8ToAnsi(const std::string& text) {
  if (ResolveCodePage(CP_ACP) == CP_UTF8) return text;
  return Utf16ToAnsi(Utf8ToUtf16(text));
}

WCHAR FoldCase(WCHAR c) {
  if (c >= 'a' && c <= 'z') return static_cast<WCHAR>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);  // Latin-1 letters
  if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);             // Cyrillic
  return c;
}

WStr FoldCase(const WStr& text) {
  WStr out(text);
  for (auto& c : out) c = FoldCase(c);
  return out;
}

}  // namespace internal
}  // namespace winsim

using namespace winsim::internal;

namespace {

// Both conversions end alike: a capacity of 0 asks for the length, a smaller
// one fails without writing, otherwise the text is copied unterminated (the
// terminator is part of the input when the caller passed -1).
template <class Ch>
int CopyConverted(const std::basic_string<Ch>& out, Ch* target, int capacity) {
  if (capacity == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(capacity)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(target, out.data(), out.size() * sizeof(Ch));
  return static_cast<int>(out.size());
}

}  // namespace

UINT GetACP(void) { return LockMachine().machine.codePage; }

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  WINSIM_FAIL_POINT(0);
  if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (!lpWideCharStr && cchWideChar != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT cp = ResolveCodePage(CodePage);
  if (cp == CP_UTF8 && (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t n = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  WStr out;
  DWORD error = 0;
  if (!ToUtf16(cp, lpMultiByteStr, n, (dwFlags & MB_ERR_INVALID_CHARS) != 0, &out, &error)) {
    SetLastError(error);
    return 0;
  }
  return CopyConverted(out, lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, PBOOL lpUsedDefaultChar) {
  WINSIM_FAIL_POINT(0);
  if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (!lpMultiByteStr && cbMultiByte != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  UINT cp = ResolveCodePage(CodePage);
  if (cp == CP_UTF8) {
    if (lpDefaultChar || lpUsedDefaultChar) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if ((dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
  }
  size_t n = cchWideChar == -1 ? WLen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  std::string out;
  bool used = false;
  DWORD error = 0;
  char defaultChar = lpDefaultChar ? lpDefaultChar[0] : '?';
  if (!FromUtf16(cp, lpWideCharStr, n, (dwFlags & WC_ERR_INVALID_CHARS) != 0, defaultChar, &out, &used, &error)) {
    SetLastError(error);
    return 0;
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
  return CopyConverted(out, lpMultiByteStr, cbMultiByte);
}
