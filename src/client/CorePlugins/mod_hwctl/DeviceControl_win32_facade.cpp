// device_control: runs one engine command as if typed on a command line and
// turns the engine's five-line device records back into stDevice records. It
// owns the module's capture buffer and, with it, the lock its operations take.
#include <mutex>
#include <new>

#include "DeviceControl_win32.h"
#include "DeviceControl_win32_internal.h"
#include "DeviceRecordCodec.h"
#include "ModuleState.h"
#include "common/util/DiagLog.h"
#include "common/util/WString.h"
#include "common/util/WorkerThread.h"

DeviceOutputBuffer& DeviceOutput() {
  static DeviceOutputBuffer buffer;
  return buffer;
}

namespace {
// Only one facade operation may run at a time, from whichever thread, as they
// share the capture buffer. A leaf at the top rank: callers may hold the pass
// lock or a list lock, and nothing else is asked for while it is held.
std::mutex& FacadeMutex() { return DeviceOutput().Mutex(); }

const eRet kUnhandledCommand = 0xFFFFFFFFFFFFFFFFULL;

// The engine's target for one device: "@" says it is an instance ID, "'"
// that it is taken literally, so an ID read from a file can never act as a
// pattern ("*" or "USB\*" would select other devices).
std::string LiteralTarget(const std::string& strInstancePath) { return "@'" + strInstancePath; }

// Appends one completed record per device the engine reported.
void CollectRecords(std::vector<stDevice>* pVecDevice) {
  for (const DeviceRecordText& record : ParseDeviceRecordText(DeviceOutputText(), DeviceOutputLength())) {
    stDevice device = DeviceFromRecordText(record);
    DIAG_LOG(LOG_INFO, "SetDeviceName = %s, SetDeviceClassGuid = %s", device.strInstancePath.c_str(),
             device.strDeviceClassGuid.c_str());
    device.CompleteDevice();
    if (pVecDevice != nullptr) pVecDevice->push_back(device);
  }
}
}  // namespace

eRet device_control::RunCommand(const std::string& strCmd, const std::string& strTargetName,
                                std::vector<stDevice>* pVecDevice) {
  const WString program = WIDE("hwctl.exe");
  const WString command = AnsiToWide(strCmd);
  const WString target = AnsiToWide(strTargetName);
  const WCHAR* argv[3] = {program.c_str(), command.c_str(), target.c_str()};

  ClearDeviceOutput();
  EngineResult result = DispatchCommand(3, argv);
  // A list with devices missing must not pass for the whole machine.
  if (DeviceOutput().Dropped() && result == ENGINE_OK) result = ENGINE_FAIL;
  CollectRecords(pVecDevice);
  return static_cast<eRet>(static_cast<int64_t>(result));
}

eRet device_control::RunSetUpDevice(const std::string& strCmd, stDevice& stdevice) {
  std::string target;
  eRet ret = kUnhandledCommand;
  if (strCmd == "enable" || strCmd == "disable" || strCmd == "status") {
    target = LiteralTarget(stdevice.strInstancePath);
    std::vector<stDevice> found;
    ret = RunCommand(strCmd, target, &found);
    if (strCmd == "status") {
      // A device the engine could not find keeps its last known state.
      // The flags too: the inventory's may be a pass old, and a change that
      // waits for a restart (DN_NEED_RESTART) shows only there.
      if (!found.empty()) {
        stdevice.dwStatus_Now = found.front().dwStatus_Now;
        stdevice.dwStatus = found.front().dwStatus;
      }
      DIAG_LOG(LOG_INFO, "stDevice.dwStatus_Now = %d", static_cast<int>(stdevice.dwStatus_Now));
    }
  }
  DIAG_LOG(LOG_INFO, "strcmd = %s, strTargetName = %s, return eRet : 0x%llX", strCmd.c_str(), target.c_str(), ret);
  return ret;
}

eRet device_control::DeviceControl(std::string strCmd, std::string strTargetName, std::vector<stDevice>* pVecDevice) {
  RankedLock lock(FacadeMutex(), LockRank::kFacade);
  return RunCommand(strCmd, strTargetName, pVecDevice);
}

eRet device_control::SetUpDevice(std::string strCmd, stDevice& stdevice) {
  RankedLock lock(FacadeMutex(), LockRank::kFacade);
  return RunSetUpDevice(strCmd, stdevice);
}

eRet device_control::EnableDevice(stDevice& stdevice) { return SetUpDevice("enable", stdevice); }

eRet device_control::DisableDevice(stDevice& stdevice) { return SetUpDevice("disable", stdevice); }

eRet device_control::QueryDeviceStatus(stDevice& stdevice) { return SetUpDevice("status", stdevice); }

eRet device_control::RebootUsbDevice(stDevice& stdevice, std::vector<stDevice>* pVecDevice) {
  RankedLock lock(FacadeMutex(), LockRank::kFacade);
  const std::string target = LiteralTarget(stdevice.strInstancePath);
  std::vector<stDevice> discarded;
  RunCommand("disable", target, &discarded);
  if (MatchWildcard("@'USB*", target) && pVecDevice != nullptr && !pVecDevice->empty()) {
    for (const stDevice& device : *pVecDevice) RunCommand("disable", LiteralTarget(device.strInstancePath), &discarded);
    WorkerSleepMs(100);
    for (const stDevice& device : *pVecDevice) RunCommand("enable", LiteralTarget(device.strInstancePath), &discarded);
  }
  eRet ret = RunCommand("disable", target, &discarded);
  DIAG_LOG(LOG_INFO, "strTargetName = %s, return eRet : 0x%llX", target.c_str(), ret);
  return ret;
}

eRet device_control::ReadDevice(const std::string& strInstancePath, stDevice& device, bool* pbKnown) {
  RankedLock lock(FacadeMutex(), LockRank::kFacade);
  std::vector<stDevice> found;
  eRet ret = RunCommand("find", LiteralTarget(strInstancePath), &found);
  *pbKnown = ret == 0 && !found.empty();
  if (*pbKnown) device = found.front();
  return ret;
}

eRet device_control::FindDevices(std::vector<stDevice>* pVecDevice) {
  RankedLock lock(FacadeMutex(), LockRank::kFacade);
  return RunCommand("find", "*", pVecDevice);
}
