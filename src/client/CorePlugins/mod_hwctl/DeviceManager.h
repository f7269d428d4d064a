// The plug-in frame: the four exported entry points the host calls, the
// plug-in record it reads, the callbacks it reaches through its table, and the
// module-wide status word.
#pragma once
#include <atomic>
#include <cstdint>
#include "ModuleState.h"
#include "common/cpf/CpfPluginInfo.h"
#include "common/cpf/CpfRunContext.h"
#include "common/util/MemBuffer.h"
#include "platform/winapi.h"

class _pluginInfo : public CPF::slcPluginInfo {
 public:
  _pluginInfo();
};

// The 1024-byte information block handed out by cpf_QueryInfo.
struct cpfModuleInfoBlock {
  uint32_t m_dwSize;     // 1024, also what the caller must have put there
  uint32_t m_dwVersion;  // 196791
  uint32_t m_dwCount;    // 1
  uint8_t m_reserved[1012];
};
static_assert(sizeof(cpfModuleInfoBlock) == 1024, "information block is 1024 bytes");

const uint32_t CPF_QUERY_NULL_BLOCK = 257;
const uint32_t CPF_QUERY_BAD_SIZE = 260;

// The module's status word; nothing in the module changes it.
extern std::atomic<uint32_t> g_dwModuleStatus;
extern cpfModuleInfoBlock cpfModuleInfo;

DM_EXPORT uint8_t cpfInitialize();
DM_EXPORT CPF::slcPluginInfo* cpfGetInfo();
DM_EXPORT uint8_t cpfRun(slcRunContext* pContext);
DM_EXPORT uint8_t cpfShutdown();

uint32_t cpf_QueryInfo(void* pBlock);
uint32_t cpf_Start(void* pArgument);
uint32_t cpf_GetStatus(uint32_t* pStatus);
uint32_t cpf_GetName(CMemBuffer* pName);
uint32_t cpf_Nop(void* pArgument);
