// winsim's machine-description loader on any text (descriptions and the
// captures of real machines load through it): a description is either taken
// whole or refused with an error text, never a crash, and a refused one
// leaves the machine as it was. A taken one answers SetupAPI with exactly
// the devices the control API lists.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "common/util/WString.h"
#include "fuzz_support.h"
#include "platform/winapi.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace {

using fuzzsupport::Fail;

const char kBaseline[] = R"({"computerName": "FUZZ-BASELINE",
  "classes": [{"name": "System", "guid": "4d36e97d-e325-11ce-bfc1-08002be10318"}],
  "devices": [{"id": "ROOT\\BASELINE\\0000", "class": "System", "root": true}]})";

// Never destroyed: the clean-up at exit still reads it.
std::string& g_folder = *new std::string;

void LoadBaseline() {
  std::string error;
  if (!winsim::LoadMachineJson(kBaseline, g_folder, &error)) {
    fprintf(stderr, "baseline refused: %s\n", error.c_str());
    Fail("baseline machine");
  }
}

bool IsBaseline() {
  WCHAR name[64] = {};
  DWORD length = 64;
  if (!GetComputerNameW(name, &length) || WideToAnsi(name) != "FUZZ-BASELINE") return false;
  return winsim::ListDevices(false) == std::vector<std::string>{"ROOT\\BASELINE\\0000"};
}

// SetupAPI enumerates each device at most once and no more than the machine
// holds.
void CheckDevices() {
  std::vector<std::string> known = winsim::ListDevices(false);
  std::set<std::string> all(known.begin(), known.end());
  HDEVINFO set = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr, nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) Fail("no device list of a loaded machine");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  size_t listed = 0;
  std::set<WString> ids;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    WCHAR id[MAX_DEVICE_ID_LEN] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr)) Fail("instance ID unreadable");
    ids.insert(id);
    ++listed;
  }
  SetupDiDestroyDeviceInfoList(set);
  if (ids.size() != listed) Fail("SetupAPI lists a device twice");
  if (listed > all.size()) Fail("SetupAPI lists more devices than the machine holds");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/dm_fuzz_machine_XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) Fail("cannot make a temporary folder");
  g_folder = made;
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
  });
  // Drive C: stays in this folder whatever a description names.
  setenv("WINSIM_SANDBOX", (g_folder + "/sandbox").c_str(), 1);
  LoadBaseline();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string json(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (!winsim::LoadMachineJson(json, g_folder, &error)) {
    if (error.empty()) Fail("a refused description without an error text");
    if (!IsBaseline()) Fail("a refused description changed the machine");
    return 0;
  }
  CheckDevices();
  LoadBaseline();
  return 0;
}
