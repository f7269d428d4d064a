#include "DeviceManagerModule.h"

#include <cstdlib>
#include "DeviceManager.h"
#include "common/helper/StrategyOpt/StrategyOptHelper.h"
#include "common/helper/VaultBase/VaultBaseHelper.h"
#include "common/util/DiagLog.h"
#include "common/util/MemBuffer.h"

namespace {

// 100 ns units: the one-second poll of the start-up gate.
const uint64_t kGatePollInterval = 10000000;
const DWORD kPumpPauseMs = 200;

void ReleaseStorage(CMemBuffer& buffer) {
  if (buffer.m_pBuffer != nullptr) {
    free(buffer.m_pBuffer);
    buffer.m_pBuffer = nullptr;
  }
  buffer.m_nSize = 0;
  buffer.m_nCapacity = 0;
}

bool Exiting() { return g_bExit.load(std::memory_order_relaxed); }

// One pass of the gate: true when the strategy's change time moved and its
// target condition holds for the local session.
bool GateOpens(ULONGLONG& ullLastChangeTime, CMemBuffer& value, CMemBuffer& action) {
  DWORD dwSessionId = GetLocalUserSessionId();
  ULONGLONG ullChangeTime = 0;
  if (Strategy_GetStrategyLastChangeTime(dwSessionId, CHANGE_KIND_STRATEGY, &ullChangeTime) != 0) return false;
  if (ullChangeTime == ullLastChangeTime) return false;
  // Remembered before the test: a strategy that fails it is not tested again
  // until its change time moves.
  ullLastChangeTime = ullChangeTime;
  return Strategy_CheckTargetConditionBySessionId(dwSessionId, STRATEGY_TYPE_DEVICE, 0, 0, nullptr, value, action, 0,
                                                  0) == 0;
}

}  // namespace

void StartModuleWorkers(void* pArgument) {
  // workers arrive with the policy engine
  (void)pArgument;
}

static void RunModuleMain(void* pArgument) {
  DIAG_LOG_AS(LOG_INFO, "Thread_Module_Main", "Thread_Module_Main Begin!");
  CMemBuffer value;
  CMemBuffer action;
  ULONGLONG ullLastChangeTime = 0;

  while (!Exiting()) {
    SleepSystemInterval(kGatePollInterval);
    bool open = false;
    try {
      open = GateOpens(ullLastChangeTime, value, action);
    } catch (...) {
      DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main", "exception in the start-up check");
    }
    if (!open) continue;

    try {
      StartModuleWorkers(pArgument);
    } catch (...) {
      DIAG_LOG_AS(LOG_ERROR, "Thread_Module_Main", "exception while starting the workers");
    }
    // Sent messages (device broadcasts) reach the notification window inside
    // PeekMessageW; posted ones are dropped.
    while (!Exiting()) {
      MSG message;
      PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);
      Sleep(kPumpPauseMs);
    }
  }

  DIAG_LOG_AS(LOG_INFO, "Thread_Module_Main", "Thread_Module_Main End!");
  ReleaseStorage(action);
  ReleaseStorage(value);
}

uint32_t Thread_Module_Main(void* pArgument) {
  try {
    RunModuleMain(pArgument);
  } catch (...) {
    DIAG_LOG(LOG_ERROR, "exception, thread ends");
  }
  return 0;
}
