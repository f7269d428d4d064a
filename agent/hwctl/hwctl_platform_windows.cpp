// hwctl on Windows: the real machine, arguments and output in the ANSI code page.
#include "hwctl_platform.h"

bool PlatformHasMachineFiles() { return false; }

bool PlatformLoadMachineFile(const std::string&, std::string* error) {
  if (error != nullptr) *error = "machine descriptions exist only on the simulated Windows";
  return false;
}

WString PlatformArgToWide(const char* arg) { return AnsiToWide(arg); }

std::string PlatformWideToConsole(const WString& text) { return WideToAnsi(text); }
