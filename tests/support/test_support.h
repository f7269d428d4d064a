// Small helpers shared by the test programs.
#pragma once
#include <cstddef>
#include <string>

namespace dmtest {
// Ends a crashing test process with the exception code instead of a debugger
// prompt (Windows); nothing to do elsewhere.
void InstallCrashHandler();
// Ends the process at once after the output was flushed.
[[noreturn]] void QuickExit(int code);
// Host path of a fresh, empty, process-unique scratch folder (created).
std::string MakeTempDir(const std::string& tag);
// Whole-file helpers on host paths.
bool WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);
// How often `needle` occurs in `text` from `from` on, without overlaps.
size_t Count(const std::string& text, const std::string& needle, size_t from = 0);
}  // namespace dmtest
