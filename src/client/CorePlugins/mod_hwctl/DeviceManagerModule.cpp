#include "DeviceManagerModule.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

#include "DeviceMonitor_win32.h"
#include "DeviceOpt.h"
#include "ModuleState.h"
#include "common/helper/StrategyOpt/StrategyOptHelper.h"
#include "common/helper/VaultBase/VaultBaseHelper.h"
#include "common/util/DiagLog.h"
#include "common/util/MemBuffer.h"
#include "common/util/WorkerThread.h"

namespace {

// 100 ns units: the one-second poll of the start-up gate.
const uint64_t kGatePollInterval = 10000000;
// The pump waits for messages; this often at most it looks at the stop flag.
const DWORD kPumpWaitMs = 1000;
const unsigned long kDeviceEnumPauseMs = 1000;
// After the inventory changed, it is read again this long after, then at
// doubling intervals up to the last: devices that start late without an
// arrival of their own are judged when they appear.
const unsigned long kFirstLookAgainMs = 250;
const unsigned long kLastLookAgainMs = 2000;
const unsigned long kDeviceInfoPauseMs = 2000;

// Why Thread_Device_Enum evaluates the strategy next.
const uint32_t kReasonNone = 0;
const uint32_t kReasonStrategy = 1;
const uint32_t kReasonDevice = 2;

bool Exiting() { return g_bExit.load(std::memory_order_relaxed); }

uint32_t AgentDiagLevel() { return Mem_GetConfigValue(SHARED_INDEX_DIAG_LEVEL)->load(std::memory_order_relaxed); }

// What the inventory holds, to tell whether a fresh look found anything new.
std::string InventorySignature(const std::vector<stDevice>& devices) {
  std::string text;
  for (const stDevice& d : devices) text += d.strInstancePath + '|' + std::to_string(d.dwStatus) + '\n';
  return text;
}

// What one look at the start-up gate found.
enum class GateAnswer {
  Unchanged,   // no policy yet (change time 0), or no change since the last look
  Open,        // a device strategy targets the session: the workers start
  NoStrategy,  // a policy, and no device strategy for the session
  Outage,      // the library could not be asked
};

// One pass of the gate: the strategy's change time moved, and its target
// condition holds for the local session or not.
GateAnswer LookAtGate(ULONGLONG& ullLastChangeTime, CMemBuffer& value, CMemBuffer& action, eRet& eOutage) {
  DWORD dwSessionId = GetLocalUserSessionId();
  ULONGLONG ullChangeTime = 0;
  eOutage = Strategy_GetStrategyLastChangeTime(dwSessionId, CHANGE_KIND_STRATEGY, &ullChangeTime);
  if (StrategyOptHelper::IsAdapterFailure(eOutage)) return GateAnswer::Outage;
  if (eOutage != 0) return GateAnswer::Unchanged;
  if (ullChangeTime == ullLastChangeTime) return GateAnswer::Unchanged;
  eOutage =
      Strategy_CheckTargetConditionBySessionId(dwSessionId, STRATEGY_TYPE_DEVICE, 0, 0, nullptr, value, action, 0, 0);
  // Not remembered: asked again at the next look.
  if (StrategyOptHelper::IsAdapterFailure(eOutage)) return GateAnswer::Outage;
  // Remembered before the answer is acted on: a strategy that fails the test
  // is not tested again until its change time moves.
  ullLastChangeTime = ullChangeTime;
  return eOutage == 0 ? GateAnswer::Open : GateAnswer::NoStrategy;
}

// Set once the gate opened and the workers run; the uninstall watcher runs
// before, the resets only after.
std::atomic<bool> g_bWorkersStarted{false};

void RunDeviceEnum() {
  const char* const kName = "Thread_Device_Enum";
  DIAG_LOG_AS(LOG_INFO, kName, "Enter Thread_Device_Enum");
  DWORD dwSessionId = GetLocalUserSessionId();
  DIAG_LOG_AS(LOG_INFO, kName, "dwSessionId = %u", static_cast<unsigned>(dwSessionId));

  device_manage& manage = g_DeviceManage;
  // Here rather than at module load: it reaches the policy library.
  {
    device_manage::Pass pass(manage);
    manage.InitSysParamDeviceInfo();
  }
  manage.LoadDevice();

  uint32_t dwLastChangeTime = 0;
  uint32_t dwReason = kReasonNone;
  std::string strInventory;
  unsigned long ulLookAgainMs = 0;  // 0: no second look due
  ULONGLONG ullLookAgainAt = 0;
  // Reads the inventory; a change calls for a pass and for another look soon.
  auto reload = [&] {
    manage.ReLoadDevice();
    std::string now = InventorySignature(manage.Inventory());
    if (now != strInventory) {
      strInventory = now;
      ulLookAgainMs = kFirstLookAgainMs;
      return true;
    }
    ulLookAgainMs = ulLookAgainMs >= kLastLookAgainMs ? 0 : ulLookAgainMs * 2;
    return false;
  };
  while (!Exiting()) {
    if (manage.GetUninstall() == 1) break;
    try {
      if (manage.GetDeviceChangeTime() != dwLastChangeTime) {
        DIAG_LOG_AS(LOG_INFO, kName, "waishe ,DeviceChangeTime = %u, refind Device, refresh g_vecDeviceInfo",
                    static_cast<unsigned>(manage.GetDeviceChangeTime()));
        dwReason = kReasonDevice;
        dwLastChangeTime = manage.GetDeviceChangeTime();
        reload();
        ullLookAgainAt = GetTickCount64() + ulLookAgainMs;
      } else if (ulLookAgainMs != 0 && GetTickCount64() >= ullLookAgainAt) {
        DIAG_LOG_AS(LOG_INFO, kName, "looking again at the devices after a change");
        if (reload()) dwReason = kReasonDevice;
        ullLookAgainAt = GetTickCount64() + ulLookAgainMs;
      }
      // A composite device whose functions were awaited is judged again.
      if (manage.PassDueAt() != 0 && GetTickCount64() >= manage.PassDueAt()) {
        manage.ClearPassDue();
        manage.ReLoadDevice();
        dwReason = kReasonDevice;
      }
      if (manage.IsStrategyChanged() != 0) {
        DIAG_LOG_AS(LOG_INFO, kName, "Strategy File Changed!");
        dwReason = kReasonStrategy;
      }
      // The system-parameter check runs on every pass: it also reloads the
      // definitions when they changed, which a reset on the other thread may
      // be reading.
      uint32_t bSysParamChanged = 0;
      {
        device_manage::Pass pass(manage);
        bSysParamChanged = manage.IsSysParamDeviceInfoChanged();
      }
      if (bSysParamChanged != 0 || dwReason != kReasonNone || manage.GetDeviceChanged() != 0) {
        DIAG_LOG_AS(LOG_INFO, kName, "device changed, need re AnalysisStrategy!");
        dwReason = kReasonNone;
        manage.SetDeviceChanged(0);
        eRet ret = manage.ControlDeviceByStrategy();
        DIAG_LOG_AS(LOG_INFO, kName, "waishe ,ControlDeviceByStrategy : 0x%llX", ret);
      }
    } catch (...) {
      DIAG_LOG_AS(LOG_ERROR, kName, "exception in a pass");
    }
    // Woken at once by an arrival or a registry change; otherwise the tick,
    // or the next look after a change, whichever comes first.
    unsigned long ulPause = kDeviceEnumPauseMs;
    if (ulLookAgainMs != 0) {
      ULONGLONG now = GetTickCount64();
      ulPause =
          ullLookAgainAt <= now ? 0 : static_cast<unsigned long>(std::min<ULONGLONG>(ullLookAgainAt - now, ulPause));
    }
    if (manage.PassDueAt() != 0) {
      ULONGLONG now = GetTickCount64(), due = manage.PassDueAt();
      ulPause = due <= now ? 0 : static_cast<unsigned long>(std::min<ULONGLONG>(due - now, ulPause));
    }
    manage.WaitForDeviceWork(ulPause);
  }
  DIAG_LOG_AS(LOG_INFO, kName, "Exit Thread_Device_Enum");
}

void RunDeviceInfoEnum() {
  const char* const kName = "Thread_DeviceInfo_Enum";
  DIAG_LOG_AS(LOG_INFO, kName, "Enter Thread_DeviceInfo_Enum");
  device_manage& manage = g_DeviceManage;
  uint32_t dwLastChangeTime = 0;
  bool bUninstall = false;
  while (!Exiting()) {
    if (Mem_GetConfigValue(SHARED_INDEX_AGENT_STATE)->load(std::memory_order_relaxed) == AGENT_STATE_UNINSTALLING) {
      bUninstall = true;
      break;
    }
    try {
      if (g_bWorkersStarted.load() && manage.GetDeviceChangeTime() != dwLastChangeTime) {
        dwLastChangeTime = manage.GetDeviceChangeTime();
        manage.ReSetDevice();
      }
    } catch (...) {
      DIAG_LOG_AS(LOG_ERROR, kName, "exception in a pass");
    }
    WorkerSleepMs(kDeviceInfoPauseMs);
  }
  if (bUninstall) {
    // Makes Thread_Device_Enum leave at its next pass; a pass under way is
    // waited for inside EnableDeviceBeforeUninstall.
    manage.SetUninstall(1);
    eRet ret = manage.EnableDeviceBeforeUninstall();
    DIAG_LOG_AS(LOG_INFO, kName, "EnableDeviceBeforeUninstall eRet : 0x%llX", ret);
  }
  DIAG_LOG_AS(LOG_INFO, kName, "Exit Thread_DeviceInfo_Enum");
}

}  // namespace

void FollowAgentDiagLevel() { CDiagLog::Instance().SetThresholdSource(AgentDiagLevel); }

namespace {
// A worker's body: nothing thrown leaves the thread.
uint32_t RunGuarded(void (*pfnRun)(), const char* pszThread) {
  try {
    pfnRun();
  } catch (...) {
    DIAG_LOG_AS(LOG_ERROR, pszThread, "exception, thread ends");
  }
  return 0;
}
}  // namespace

uint32_t Thread_Device_Enum(void*) { return RunGuarded(RunDeviceEnum, "Thread_Device_Enum"); }

uint32_t Thread_DeviceInfo_Enum(void*) { return RunGuarded(RunDeviceInfoEnum, "Thread_DeviceInfo_Enum"); }

void StartModuleWorkers(void* pArgument) {
  g_bWorkersStarted.store(true);
  if (!StartWorkerThread(Thread_Device_Enum, pArgument))
    DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main", "Thread_Device_Enum could not be started");
  // On this thread: its message pump delivers the broadcasts to the window.
  WndNotify_MakeWindow();
  if (!StartWorkerThread(Thread_Reg_Change, pArgument))
    DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main", "Thread_Reg_Change could not be started");
}

static void RunModuleMain(void* pArgument) {
  DIAG_LOG_AS(LOG_INFO, "Thread_Module_Main", "Thread_Module_Main Begin!");
  CMemBuffer value;
  CMemBuffer action;
  ULONGLONG ullLastChangeTime = 0;
  // The uninstall watcher runs whatever the gate and the policy library do:
  // an uninstall enables what the file lists even if no strategy ever came.
  if (!StartWorkerThread(Thread_DeviceInfo_Enum, pArgument))
    DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main", "Thread_DeviceInfo_Enum could not be started");

  while (!Exiting()) {
    SleepSystemInterval(kGatePollInterval);
    GateAnswer answer = GateAnswer::Unchanged;
    try {
      eRet eOutage = 0;
      answer = LookAtGate(ullLastChangeTime, value, action, eOutage);
      if (answer == GateAnswer::Outage)
        DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main",
                    "policy library unavailable (0x%llX): nothing is enabled and the file is kept, retried at the "
                    "next pass",
                    eOutage);
      // "No strategy" is an answer: what the module disabled is allowed now,
      // while the gate stays shut for everything else.
      if (answer == GateAnswer::NoStrategy) g_DeviceManage.EnableListedWithoutStrategy();
    } catch (...) {
      DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main", "exception in the start-up check");
    }
    if (answer != GateAnswer::Open) continue;

    try {
      StartModuleWorkers(pArgument);
    } catch (...) {
      DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main", "exception while starting the workers");
    }
    // Sent messages (device broadcasts) reach the notification window inside
    // PeekMessageW; posted ones are dropped. The pump sleeps until a message
    // comes (a broadcast is handled within milliseconds, not at the next
    // look) and looks at the stop flag at least once a second.
    while (!Exiting()) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {}
      MsgWaitForMultipleObjectsEx(0, nullptr, kPumpWaitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }

  // The answer buffers free their storage as they go out of scope.
  DIAG_LOG_AS(LOG_INFO, "Thread_Module_Main", "Thread_Module_Main End!");
}

uint32_t Thread_Module_Main(void* pArgument) {
  try {
    RunModuleMain(pArgument);
  } catch (...) {
    DIAG_LOG(LOG_ERROR, "exception, thread ends");
  }
  return 0;
}
