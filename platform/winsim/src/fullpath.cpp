// kernel32's wide path calls the device engine's INF handling needs:
// GetFullPathNameW and GetFileAttributesW.
#include <unistd.h>

#include <string>
#include <vector>

#include "machine.h"

using namespace winsim::internal;

namespace {
bool IsSeparator(WCHAR c) { return c == '\\' || c == '/'; }
bool IsDriveLetter(WCHAR c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The host's current folder as Windows spells it (Z:\...), without a trailing "\".
WStr CurrentFolder() {
  std::vector<char> buffer(4096);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return Utf8ToUtf16("Z:");
  std::string path = WindowsPathOf(buffer.data());
  while (path.size() > 2 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return Utf8ToUtf16(path);
}
}  // namespace

WINSIM_API DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart) {
  WINSIM_FAIL_POINT(0);
  if (lpFileName == nullptr || lpFileName[0] == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  WStr input(lpFileName);
  WStr root;  // "C:" or "\\server"
  WStr rest;
  if (input.size() >= 2 && IsDriveLetter(input[0]) && input[1] == ':') {
    root = input.substr(0, 2);
    rest = input.substr(2);
  } else if (input.size() >= 2 && IsSeparator(input[0]) && IsSeparator(input[1])) {
    size_t end = 2;
    while (end < input.size() && !IsSeparator(input[end])) ++end;
    root = u"\\\\" + input.substr(2, end - 2);
    rest = input.substr(end);
  } else {
    WStr current = CurrentFolder();
    root = current.substr(0, 2);
    rest = IsSeparator(input[0]) ? input : current.substr(2) + u"\\" + input;
  }

  // Resolve "." and ".." and fold separators into "\".
  std::vector<WStr> parts;
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && IsSeparator(rest[i])) ++i;
    size_t start = i;
    while (i < rest.size() && !IsSeparator(rest[i])) ++i;
    WStr part = rest.substr(start, i - start);
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  WStr full = root;
  for (const WStr& part : parts) full += u"\\" + part;
  const bool trailing = !input.empty() && IsSeparator(input.back());
  if (parts.empty() || trailing) full += u"\\";

  if (lpBuffer == nullptr || full.size() + 1 > nBufferLength) return static_cast<DWORD>(full.size() + 1);
  for (size_t k = 0; k < full.size(); ++k) lpBuffer[k] = full[k];
  lpBuffer[full.size()] = 0;
  if (lpFilePart != nullptr)
    *lpFilePart = trailing || parts.empty() ? nullptr : lpBuffer + (full.size() - parts.back().size());
  return static_cast<DWORD>(full.size());
}

WINSIM_API DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  WINSIM_FAIL_POINT(INVALID_FILE_ATTRIBUTES);
  if (lpFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesA(Utf16ToAnsi(WStr(lpFileName)).c_str());
}
