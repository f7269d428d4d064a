#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

#include "winsim/control.h"

namespace fuzzsupport {

const char* const kInstallDir = "C:\\Vault\\";

namespace {

// One folder per process: drive C: of every machine this process loads.
const std::string& BaseDir() {
  // Never destroyed: the clean-up at exit still reads it.
  static const std::string& dir = *new std::string([] {
    // In memory where there is a tmpfs: the forbidden-device file is flushed
    // to the disk at every write, which a real disk makes the slowest step.
    std::error_code ec;
    std::string pattern = std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0
                              ? "/dev/shm/dm_fuzz_XXXXXX"
                              : "/tmp/dm_fuzz_XXXXXX";
    const char* made = mkdtemp(&pattern[0]);
    if (made == nullptr) Fail("cannot make a temporary folder");
    // Gone when the run ends; a crash leaves it for a look.
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(BaseDir(), ignored);
    });
    return std::string(made);
  }());
  return dir;
}

}  // namespace

void Fail(const char* what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  fflush(stderr);
  abort();
}

void LoadMachine(const std::string& extraSections) {
  std::string json = R"({
  "sandbox": "sandbox",
  "registry": [
    {"key": "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper",
     "values": {"UninstallExe": "C:\\Vault\\uninst.exe"}}
  ])";
  if (!extraSections.empty()) json += ",\n" + extraSections;
  json += "\n}";
  std::string error;
  if (!winsim::LoadMachineJson(json, BaseDir(), &error)) {
    fprintf(stderr, "machine refused: %s\n", error.c_str());
    Fail("machine description");
  }
  std::error_code ec;
  std::filesystem::create_directories(HostPath(std::string(kInstallDir) + "config"), ec);
  std::filesystem::create_directories(HostPath(std::string(kInstallDir) + "tpmlog"), ec);
}

void LoadMachineOnce() {
  static const bool loaded = [] {
    LoadMachine("");
    return true;
  }();
  (void)loaded;
}

std::string HostPath(const std::string& windowsPath) { return winsim::HostPath(windowsPath); }

std::vector<WString> SplitWide(const uint8_t* data, size_t size, size_t maxParts) {
  std::vector<WString> parts(1);
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (b == 0) {
      if (parts.size() == maxParts) break;
      parts.emplace_back();
    } else if (b == 1 && i + 2 < size) {
      WCHAR unit = static_cast<WCHAR>((data[i + 1] << 8) | data[i + 2]);
      if (unit != 0) parts.back().push_back(unit);  // parts are C strings
      i += 2;
    } else {
      parts.back().push_back(static_cast<WCHAR>(b));
    }
  }
  return parts;
}

}  // namespace fuzzsupport

// Sanitizer settings every target carries, so a target run by hand behaves as
// under scripts/fuzz.
extern "C" const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1:suppressions=" DM_FUZZ_UBSAN_SUPPRESSIONS;
}
