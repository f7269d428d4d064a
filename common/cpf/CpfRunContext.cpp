#include "common/cpf/CpfRunContext.h"

#include <cstddef>
#include <cstring>

static_assert(offsetof(slcRunContext, m_hMutex) == 8, "mutex handle at 8");
static_assert(offsetof(slcRunContext, m_nMaxIndex) == 40, "highest index at 40");
static_assert(offsetof(slcRunContext, m_pEntries) == 48, "entries from 48");
static_assert(offsetof(cpfCallbackTable, m_dwVersion) == 0, "version word");
static_assert(offsetof(cpfCallbackTable, m_pfnQueryInfo) == 8, "slot 1");
static_assert(offsetof(cpfCallbackTable, m_pfnStart) == 16, "slot 2");
static_assert(offsetof(cpfCallbackTable, m_pSlot3) == 24, "slot 3");
static_assert(offsetof(cpfCallbackTable, m_pfnGetStatus) == 32, "slot 4");
static_assert(offsetof(cpfCallbackTable, m_pfnGetName) == 40, "slot 5");
static_assert(offsetof(cpfCallbackTable, m_pfnSlot6) == 48, "slot 6");
static_assert(offsetof(cpfCallbackTable, m_pfnSlot7) == 56, "slot 7");
static_assert(sizeof(cpfCallbackTable) == 64, "callback table size");

int32_t slcRunContext::GetEntry(int32_t index, void** ppEntry) {
  CPF::slcThreadLock lock(this, true);
  if (index < 0 || index > m_nMaxIndex) return -1;
  // The entry array is longer than its declaration; read it by address.
  const unsigned char* entries = reinterpret_cast<const unsigned char*>(this) + offsetof(slcRunContext, m_pEntries);
  void* entry = nullptr;
  memcpy(&entry, entries + sizeof(void*) * static_cast<size_t>(index), sizeof(entry));
  if (ppEntry != nullptr) *ppEntry = entry;
  return index;
}
