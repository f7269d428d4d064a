// The command interpreter on a small described machine: any argument vector
// (options, command word, arguments) ends with one of the four results and
// leaves nothing behind. The machine is loaded again after every input that
// may have changed it (disable, sethwid, install, classfilter, ...), so no
// input changes what the next one sees.
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DeviceControl_win32.h"
#include "fuzz_support.h"

namespace {

const char kDevices[] = R"(
  "classes": [
    {"name": "USB", "guid": "36fc9e60-c465-11cf-8056-444553540000"},
    {"name": "DiskDrive", "guid": "4d36e967-e325-11ce-bfc1-08002be10318", "upperFilters": ["partmgr"]},
    {"name": "System", "guid": "4d36e97d-e325-11ce-bfc1-08002be10318", "installer": "restart"},
    {"name": "HIDClass", "guid": "745a17a0-74d3-11d0-b6fe-00a0c90f57da", "installer": "refuse"}],
  "services": ["partmgr", "disk", "usbstor"],
  "devices": [
    {"id": "USB\\VID_0781&PID_5567\\4C530001", "class": "USB", "friendlyName": "SanDisk Cruzer",
     "hw": ["USB\\VID_0781&PID_5567&REV_0100", "USB\\VID_0781&PID_5567"], "compat": ["USB\\Class_08"],
     "status": "0x0180600A", "interfaces": ["USB device"]},
    {"id": "USBSTOR\\DISK&VEN_SANDISK\\4C530001&0", "class": "DiskDrive", "name": "SanDisk USB Device",
     "hw": ["USBSTOR\\DiskSanDisk", "GenDisk"], "status": "0x0180600A", "parent": "USB\\VID_0781&PID_5567\\4C530001"},
    {"id": "HID\\VID_046D&PID_C52B\\7&1&0", "class": "HIDClass", "name": "USB Input Device",
     "hw": ["HID\\VID_046D&PID_C52B"], "status": "0x0180600A"},
    {"id": "ROOT\\SAMPLE\\0000", "class": "System", "name": "Sample", "root": true, "hw": ["*SAMPLE"],
     "status": "0x0180600A"},
    {"id": "ROOT\\LEGACY_X\\0000", "class": "System", "name": "Legacy", "root": true, "present": false},
    {"id": "PCI\\VEN_8086&DEV_1234\\3&11583659&0&10", "class": "System", "name": "Controller",
     "hw": ["PCI\\VEN_8086&DEV_1234"], "status": "0x0000000A"}])";

// Arguments after the program name: options, command word, arguments.
const size_t kMaxArgs = 6;

// Commands that change the machine. An input naming one anywhere (option
// parsing aside) gets a fresh machine for the next input; the others leave
// the machine as it was, and reloading it would cost most of an input's time.
bool MayChangeMachine(const std::vector<WString>& args) {
  static const char* const kChanging[] = {"classfilter", "disable", "enable",  "install", "reboot",  "remove",
                                          "rescan",      "restart", "sethwid", "update",  "updateni"};
  for (const WString& arg : args) {
    size_t at = !arg.empty() && (arg[0] == '-' || arg[0] == '/') ? 1 : 0;
    for (const char* name : kChanging) {
      size_t i = 0;
      while (name[i] != 0 && at + i < arg.size() && (arg[at + i] | 0x20) == name[i]) ++i;
      if (name[i] == 0 && at + i == arg.size()) return true;
    }
  }
  return false;
}

}  // namespace

// The driver-update commands load newdev.dll from the system directory and
// free it again. An unloaded library's coverage counters vanish under
// libFuzzer, which then reads freed memory; pinning the library keeps it
// mapped for the whole run.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char system[MAX_PATH] = {};
  UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) fuzzsupport::Fail("no system directory");
  std::string newdev = fuzzsupport::HostPath(std::string(system) + "\\newdev.dll");
  if (dlopen(newdev.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr) fuzzsupport::Fail("no newdev.dll");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool changed = true;
  if (changed) fuzzsupport::LoadMachine(kDevices);
  std::vector<WString> args = fuzzsupport::SplitWide(data, size, kMaxArgs);
  changed = MayChangeMachine(args);
  args.insert(args.begin(), WString(WIDE("C:\\tools\\hwctl.exe")));
  std::vector<const WCHAR*> argv;
  for (const WString& arg : args) argv.push_back(arg.c_str());

  ClearDeviceOutput();
  EngineResult result = DispatchCommand(static_cast<int>(argv.size()), argv.data());
  if (result < ENGINE_OK || result > ENGINE_USAGE) {
    fprintf(stderr, "result %d\n", static_cast<int>(result));
    fuzzsupport::Fail("DispatchCommand result outside 0..3");
  }
  // Whatever was reported is whole five-line records.
  const WCHAR* output = DeviceOutputText();
  size_t length = DeviceOutputLength();
  size_t lines = 0;
  for (size_t i = 0; i < length; ++i)
    if (output[i] == '\n') ++lines;
  if (lines % 5 != 0 || (length > 0 && output[length - 1] != '\n'))
    fuzzsupport::Fail("capture buffer holds a partial record");
  return 0;
}
