// What hwctl does differently on the simulated and the real Windows.
#pragma once
#include <string>

#include "common/util/WString.h"

// True where a machine description can be loaded (winsim).
bool PlatformHasMachineFiles();
// Replaces the simulated machine with the description in `path`.
bool PlatformLoadMachineFile(const std::string& path, std::string* error);
// Command-line argument to UTF-16, and UTF-16 to console text.
WString PlatformArgToWide(const char* arg);
std::string PlatformWideToConsole(const WString& text);
