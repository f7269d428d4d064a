// Exposure of a stick the machine has never seen: on a first plug the storage
// function of a USB composite device gets its node only once the composite has
// started, and its driver is installed afterwards. DeviceManager.dll loaded
// through its exports and started as the agent's host starts it, on the
// laptop (examples/machines/laptop.json) with the real agent libraries,
// bench_first_plug_policy.json (every USB device and USB disk forbidden) and
// log level ERROR.
//
// Two kinds of stick, each plug a fresh never-seen copy ("known": false,
// unique instance IDs, added with winsim::AddDevice):
//   - with_hid: storage function and a vendor HID function. The HID function
//     keeps the composite running; the storage function is disabled itself.
//   - storage_only: the storage function alone. The composite carries nothing
//     and is disabled once its function has appeared, taking the function off.
// Timed from the plug, and from the storage function's own start (its
// "arrived" entry in winsim's journal), to the first time the storage
// function no longer runs (problem 22 on its node, or not present), polled
// every millisecond. Its disk would start 300 ms after it.
//
// usage: bench_first_plug [--plugs N]   (default 20)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_agent.h"
#include "platform/winapi.h"
#include "agent/host/StartPlugin.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace {

struct Stick {
  std::string root, storage;
};

std::string Escaped(const std::string& id) {
  std::string out;
  for (char c : id) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

bool Add(const std::string& id, const std::string& parent, const std::string& rest, std::string* error) {
  std::string json = "{\"id\": \"" + Escaped(id) + "\", \"known\": false, " + rest;
  if (!parent.empty()) json += ", \"parent\": \"" + Escaped(parent) + "\"";
  return winsim::AddDevice(json + "}", error);
}

// Copy `n` of a kind: a composite, its storage function with the disk below
// it, and (with_hid) a vendor HID function with its HID device.
bool AddStick(bool withHid, int n, Stick* stick, std::string* error) {
  char tag[16];
  snprintf(tag, sizeof(tag), "%c%04d", withHid ? 'H' : 'S', n);
  std::string pid = withHid ? "5591" : "5592", serial = std::string("FP") + tag;
  stick->root = "USB\\VID_0781&PID_" + pid + "\\" + serial;
  stick->storage = "USB\\VID_0781&PID_" + pid + "&MI_00\\7&" + serial + "&0&0000";
  std::string hw = "\"USB\\\\VID_0781&PID_" + pid;
  bool ok = Add(stick->root, "",
                "\"hw\": [" + hw +
                    "\"], \"compat\": [\"USB\\\\DevClass_00&SubClass_00&Prot_00\", \"USB\\\\COMPOSITE\"], "
                    "\"class\": \"USB\", \"name\": \"USB Composite Device\", \"status\": \"0x0180600A\", "
                    "\"interfaces\": [\"USB device\"], \"service\": \"usbccgp\", \"startDelay\": 100",
                error) &&
            Add(stick->storage, stick->root,
                "\"hw\": [" + hw +
                    "&MI_00\"], \"compat\": [\"USB\\\\Class_08&SubClass_06&Prot_50\", \"USB\\\\Class_08\"], "
                    "\"class\": \"USB\", \"name\": \"USB Mass Storage Device\", \"status\": \"0x0180600A\", "
                    "\"interfaces\": [\"USB device\"], \"service\": \"USBSTOR\", \"startDelay\": 400",
                error) &&
            Add("USBSTOR\\DISK&VEN_SANDISK&PROD_ULTRA_FIT&REV_1.00\\" + serial + "&0", stick->storage,
                "\"hw\": [\"GenDisk\"], \"class\": \"DiskDrive\", \"name\": \"SanDisk Ultra Fit USB Device\", "
                "\"status\": \"0x0180600A\", \"interfaces\": [\"Disk\"], \"service\": \"disk\", \"startDelay\": 300",
                error);
  if (ok && withHid) {
    std::string function = "USB\\VID_0781&PID_" + pid + "&MI_01\\7&" + serial + "&0&0001";
    ok = Add(function, stick->root,
             "\"hw\": [" + hw +
                 "&MI_01\"], \"compat\": [\"USB\\\\Class_03&SubClass_00&Prot_00\", \"USB\\\\Class_03\"], "
                 "\"class\": \"HIDClass\", \"name\": \"USB Input Device\", \"status\": \"0x0180600A\", "
                 "\"service\": \"HidUsb\", \"startDelay\": 250",
             error) &&
         Add("HID\\VID_0781&PID_" + pid + "&MI_01\\8&" + serial + "&0&0000", function,
             "\"hw\": [\"HID\\\\VID_0781&PID_" + pid +
                 "&MI_01\"], \"compat\": [\"HID_DEVICE\"], "
                 "\"class\": \"HIDClass\", \"name\": \"HID-compliant vendor-defined device\", "
                 "\"status\": \"0x0180200A\", \"interfaces\": [\"HID\"], \"service\": \"HidUsb\", \"startDelay\": 200",
             error);
  }
  return ok;
}

// As a Win32 program sees it: present and started, without a problem.
bool Running(const std::string& id) {
  std::basic_string<WCHAR> wide(id.begin(), id.end());
  DEVINST node = 0;
  if (CM_Locate_DevNodeW(&node, &wide[0], CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
  ULONG status = 0, problem = 0;
  if (CM_Get_DevNode_Status(&status, &problem, node, 0) != CR_SUCCESS) return false;
  return problem == 0 && (status & DN_STARTED) != 0;
}

double ArrivedAt(const std::string& id) {
  double at = -1;
  for (const winsim::DeviceJournalEntry& entry : winsim::DeviceJournal())
    if (entry.instanceId == id && entry.change == "arrived") at = static_cast<double>(entry.timeMs);
  return at;
}

// Plug to the storage function stopped, and its own start to the same; false
// when it still ran after `limitMs`. A function that never ran (its composite
// was disabled before it started) counts in *neverRan, exposed 0 ms.
bool Plug(const Stick& stick, double limitMs, double* fromPlug, double* fromStart, int* neverRan = nullptr) {
  double pluggedAt = static_cast<double>(winsim::JournalClockMs()), t0 = bench::NowMs();
  winsim::PlugDevice(stick.root);
  bool seen = false;
  double stoppedAt = -1;
  while (bench::NowMs() - t0 <= limitMs) {
    bool running = Running(stick.storage);
    seen = seen || running;
    if (seen && !running) {
      stoppedAt = static_cast<double>(winsim::JournalClockMs());
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  double startedAt = ArrivedAt(stick.storage);
  winsim::UnplugDevice(stick.root);
  if (!seen && neverRan != nullptr) {
    ++*neverRan;
    return false;
  }
  if (stoppedAt < 0 || startedAt < 0) return false;
  *fromPlug = stoppedAt - pluggedAt;
  *fromStart = stoppedAt - startedAt;
  return true;
}

void Report(const std::string& name, std::vector<double>& sample, const char* what) {
  char note[160];
  snprintf(note, sizeof(note), "of %zu plugs, %s", sample.size(), what);
  bench::Figure((name + "_p50").c_str(), bench::Median(sample), "ms", note);
  bench::Figure((name + "_p90").c_str(), bench::Quantile(sample, 0.9), "ms", "");
  bench::Figure((name + "_max").c_str(), bench::Quantile(sample, 1.0), "ms", "");
  bench::Figure((name + "_min").c_str(), bench::Quantile(sample, 0.0), "ms", "");
}

}  // namespace

int main(int argc, char** argv) {
  int plugs = 20;
  bench::ParseOptions(argc, argv, {{"--plugs", &plugs, nullptr, 1}}, "[--plugs N]");

  bench::AgentInstall install;
  std::string error;
  bench::ExitUnless(install.Create(DM_BENCH_LAPTOP, DM_BENCH_FIRST_PLUG_POLICY, bench::kLevelError, &error),
                    "bench_first_plug", error);
  std::vector<Stick> sticks[2];
  for (int kind = 0; kind < 2; ++kind) {
    sticks[kind].resize(static_cast<size_t>(plugs) + 1);
    for (int n = 0; n <= plugs; ++n)
      bench::ExitUnless(AddStick(kind == 0, n, &sticks[kind][static_cast<size_t>(n)], &error), "bench_first_plug",
                        error);
  }
  bench::ExitUnless(host::StartPlugin(&error), "bench_first_plug", error);

  // The first plug waits for the module's start-up: not counted.
  double fromPlug = 0, fromStart = 0;
  bench::ExitUnless(Plug(sticks[0][0], 30000, &fromPlug, &fromStart), "bench_first_plug",
                    "the first stick's storage function still ran after 30 s");

  const char* names[2] = {"first_plug_with_hid", "first_plug_storage_only"};
  std::vector<double> plugTimes[2], startTimes[2];
  int missed = 0, neverRan = 0;
  for (int n = 1; n <= plugs; ++n) {
    for (int kind = 0; kind < 2; ++kind) {
      // Pauses that vary over the device thread's one-second tick, and long
      // enough for the guard's wait on the previous composite to end.
      std::this_thread::sleep_for(std::chrono::milliseconds(1500 + ((n * 2 + kind) * 379) % 1000));
      const int before = neverRan;
      if (Plug(sticks[kind][static_cast<size_t>(n)], 10000, &fromPlug, &fromStart, &neverRan)) {
        plugTimes[kind].push_back(fromPlug);
        startTimes[kind].push_back(fromStart);
      } else if (neverRan == before) {
        ++missed;
      }
    }
  }
  for (int kind = 0; kind < 2; ++kind) {
    Report(std::string(names[kind]) + "_from_plug", plugTimes[kind], "plug to the storage function stopped");
    Report(std::string(names[kind]) + "_exposure", startTimes[kind], "the storage function's own start to stopped");
  }
  if (neverRan) bench::Figure("first_plug_never_ran", neverRan, "", "storage functions that never ran: 0 ms exposed");
  if (missed) bench::Figure("first_plug_missed", missed, "", "storage functions still running after 10 s");
  fflush(stdout);
  install.Remove();
  _Exit(missed ? 1 : 0);
}
