#include "DeviceManager.h"

#include <cstring>
#include "DeviceManagerModule.h"
#include "common/util/DiagLog.h"
#include "common/util/WorkerThread.h"

std::atomic<uint32_t> g_dwModuleStatus{0};
cpfModuleInfoBlock cpfModuleInfo = {1024, 196791, 1, {0}};

namespace {

const WCHAR kPluginName[] = WIDE("DeviceManager");
const size_t kPluginNameUnits = 13;
static_assert(sizeof(kPluginName) == (kPluginNameUnits + 1) * sizeof(WCHAR), "13 units and a zero");

// 100 ns units: 200 ms for the shutdown pause.
const uint64_t kShutdownPause = 2000000;

// The record the host reads; built at load, before any export is called.
_pluginInfo g_pluginInfo;

}  // namespace

_pluginInfo::_pluginInfo() {
  m_llValue = 1;
  m_nValue = 1;
  m_bFlag = 1;
  CPF::CopyPluginText(m_szName, kPluginName);
  CPF::CopyPluginText(m_szVendor, WIDE("Brightmoor"));
  CPF::CopyPluginText(m_szReserved1, WIDE("None."));
  CPF::CopyPluginText(m_szDescription, WIDE("Manger device in system"));
  CPF::CopyPluginText(m_szReserved2, WIDE("None."));
  CPF::CopyPluginText(m_szSupport, WIDE("support@brightmoor.com"));
  CPF::CopyPluginText(m_szName2, kPluginName);
  m_mapA.Clear();
  m_mapC.Clear();
  m_mapB.Clear();
}

// ---------------------------------------------------------------------------
// Exports

// The first call of the host: lines from here on follow the agent's level.
DM_EXPORT uint8_t cpfInitialize() {
  try {
    FollowAgentDiagLevel();
  } catch (...) {}
  return 1;
}

DM_EXPORT CPF::slcPluginInfo* cpfGetInfo() { return &g_pluginInfo; }

DM_EXPORT uint8_t cpfRun(slcRunContext* pContext) {
  try {
    if (pContext == nullptr) return 0;
    void* entry = nullptr;
    pContext->GetEntry(0, &entry);
    cpfCallbackTable* table = static_cast<cpfCallbackTable*>(entry);
    if (table == nullptr || table->m_dwVersion != kCallbackTableVersion) return 0;
    table->m_pfnQueryInfo = cpf_QueryInfo;
    table->m_pfnStart = cpf_Start;
    table->m_pfnGetName = cpf_GetName;
    table->m_pfnSlot6 = cpf_Nop;
    table->m_pfnGetStatus = cpf_GetStatus;
    table->m_pfnSlot7 = cpf_Nop;
  } catch (...) {
    DIAG_LOG(LOG_ERROR, "cpfRun: exception while filling the callback table");
  }
  return 0;
}

DM_EXPORT uint8_t cpfShutdown() {
  try {
    if (g_bExit.load(std::memory_order_relaxed)) return 1;
    SleepSystemInterval(kShutdownPause);
  } catch (...) {
    DIAG_LOG(LOG_ERROR, "cpfShutdown: exception");
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Callbacks

uint32_t cpf_QueryInfo(void* pBlock) {
  try {
    CDiagLog::Instance().SetName("device");
    FollowAgentDiagLevel();
    cpfModuleInfo.m_dwSize = sizeof(cpfModuleInfoBlock);
    cpfModuleInfo.m_dwVersion = 196791;
    cpfModuleInfo.m_dwCount = 1;
    if (pBlock == nullptr) return CPF_QUERY_NULL_BLOCK;
    uint32_t size = 0;
    memcpy(&size, pBlock, sizeof(size));
    if (size != sizeof(cpfModuleInfoBlock)) return CPF_QUERY_BAD_SIZE;
    memcpy(pBlock, &cpfModuleInfo, sizeof(cpfModuleInfoBlock));
  } catch (...) {
    DIAG_LOG(LOG_ERROR, "cpf_QueryInfo: exception");
  }
  return 0;
}

uint32_t cpf_Start(void* pArgument) {
  try {
    DIAG_LOG(LOG_INFO, "cpf_Start 0x%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pArgument)));
    // Detached, like every thread of the module; the platform learns of it.
    if (!StartWorkerThread(Thread_Module_Main, pArgument))
      DIAG_LOG(LOG_ERROR, "cpf_Start: the main thread could not be started");
  } catch (...) {
    DIAG_LOG(LOG_ERROR, "cpf_Start: the main thread could not be started");
  }
  return 0;
}

uint32_t cpf_GetStatus(uint32_t* pStatus) {
  try {
    if (pStatus != nullptr) *pStatus = g_dwModuleStatus.load(std::memory_order_relaxed);
  } catch (...) {}
  return 0;
}

uint32_t cpf_GetName(CMemBuffer* pName) {
  try {
    if (pName == nullptr) {
      DIAG_LOG(LOG_ERROR, "cpf_GetName: no buffer");
      return 0;
    }
    int64_t offset = pName->m_nSize;
    pName->Resize(offset + static_cast<int64_t>(kPluginNameUnits * sizeof(WCHAR)), -1);
    memcpy(pName->m_pBuffer + offset, kPluginName, kPluginNameUnits * sizeof(WCHAR));
  } catch (const char* text) {
    DIAG_LOG(LOG_ERROR, "cpf_GetName: %s", text);
  } catch (...) {
    DIAG_LOG(LOG_ERROR, "cpf_GetName: exception");
  }
  return 0;
}

uint32_t cpf_Nop(void*) { return 0; }
