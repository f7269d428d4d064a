// What the host hands the plug-in in cpfRun: its run context (a lockable
// object with a table of entries) and, as entry 0, the callback table that the
// plug-in fills. Both are owned and laid out by the host.
#pragma once
#include <cstdint>
#include "common/cpf/CpfLock.h"

class CMemBuffer;

// The host's object, read in place and never constructed here. It is
// lockable through its own four-slot table, like CPF::slcMutex, but it is not
// an object of this module's classes, so it is described as plain data and
// called only through that table.
class slcRunContext {
 public:
  slcRunContext() = delete;
  // Under the context's own lock: stores entry `index` into *ppEntry and
  // returns the index when 0 <= index <= m_nMaxIndex, else -1 (output untouched).
  int32_t GetEntry(int32_t index, void** ppEntry);

  const CPF::slcLockableVtable* m_pVtable;
  HANDLE m_hMutex;
  SECURITY_ATTRIBUTES m_sa;
  int32_t m_nMaxIndex;  // highest valid entry index
  void* m_pEntries[1];  // the host allocates m_nMaxIndex + 1 of them
};

typedef uint32_t (*cpfQueryInfoProc)(void* pBlock);
typedef uint32_t (*cpfStartProc)(void* pArgument);
typedef uint32_t (*cpfGetStatusProc)(uint32_t* pStatus);
typedef uint32_t (*cpfGetNameProc)(CMemBuffer* pName);
typedef uint32_t (*cpfNopProc)(void* pArgument);

const uint32_t kCallbackTableVersion = 1;

struct cpfCallbackTable {
  uint32_t m_dwVersion;             // must be kCallbackTableVersion
  cpfQueryInfoProc m_pfnQueryInfo;  // slot 1
  cpfStartProc m_pfnStart;          // slot 2
  void* m_pSlot3;                   // the host's own, left alone
  cpfGetStatusProc m_pfnGetStatus;  // slot 4
  cpfGetNameProc m_pfnGetName;      // slot 5
  cpfNopProc m_pfnSlot6;            // slot 6
  cpfNopProc m_pfnSlot7;            // slot 7
};
