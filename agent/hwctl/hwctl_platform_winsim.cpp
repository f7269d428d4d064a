// hwctl on winsim: machine descriptions, and UTF-8 arguments and output as a
// Linux terminal has them. Built for non-Windows targets only.
#include "hwctl_platform.h"

#include "platform/winapi.h"
#include "winsim/control.h"

bool PlatformHasMachineFiles() { return true; }

bool PlatformLoadMachineFile(const std::string& path, std::string* error) {
  return winsim::LoadMachineFile(path, error);
}

WString PlatformArgToWide(const char* arg) {
  int units = MultiByteToWideChar(CP_UTF8, 0, arg, -1, nullptr, 0);
  if (units <= 0) return WString();
  WString text(static_cast<size_t>(units), 0);
  MultiByteToWideChar(CP_UTF8, 0, arg, -1, &text[0], units);
  text.resize(static_cast<size_t>(units - 1));
  return text;
}

std::string PlatformWideToConsole(const WString& text) {
  if (text.empty()) return std::string();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), 0);
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
  return out;
}
