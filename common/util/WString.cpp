#include "common/util/WString.h"

#include <climits>

#include "platform/winapi.h"

WString AnsiToWide(const std::string& text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return WString();
  int length = static_cast<int>(text.size());
  int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return WString();
  WString out(static_cast<size_t>(needed), WCHAR(0));
  int written = MultiByteToWideChar(CP_ACP, 0, text.data(), length, &out[0], needed);
  if (written <= 0) return WString();
  out.resize(static_cast<size_t>(written));
  return out;
}

std::string WideToAnsi(const WString& text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
  int length = static_cast<int>(text.size());
  int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string out(static_cast<size_t>(needed), '\0');
  int written = WideCharToMultiByte(CP_ACP, 0, text.data(), length, &out[0], needed, nullptr, nullptr);
  if (written <= 0) return std::string();
  out.resize(static_cast<size_t>(written));
  return out;
}

std::string WideToAnsi(const WCHAR* text) {
  if (text == nullptr) return std::string();
  size_t length = 0;
  while (text[length] != 0) ++length;
  return WideToAnsi(WString(text, length));
}
