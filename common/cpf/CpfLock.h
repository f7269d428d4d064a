// The lockable objects of the plug-in framework: a named kernel mutex and a
// scoped lock that counts the holds it took.
//
// The host reads these objects through its own compiler's virtual table: four
// slots, [0] the deleting destructor (one slot, taking the "delete too" flag),
// [1] Lock, [2] TryLock, [3] Unlock, each taking the object as first argument.
// A C++ virtual destructor would take two slots with g++, so slot 0 is an
// ordinary virtual function and the C++ destructor is not virtual; never
// delete through a base pointer.
#pragma once
#include <cstdint>
#include "platform/winapi.h"

namespace CPF {

// TryLock's answer when the wait timed out.
const DWORD kTryLockTimeout = 16;

// "UUID:dd:ww:hh:mmm:nn:MM:ss:yyyy" (day, day of week, hour, milliseconds,
// minute, month, second, year) in a zeroed array of 41 units.
void FormatMutexName(const SYSTEMTIME& time, WCHAR (&name)[41]);

class slcMutex {
 public:
  slcMutex();
  ~slcMutex();
  slcMutex(const slcMutex&) = delete;
  slcMutex& operator=(const slcMutex&) = delete;

  // Slot 0: destroys the object, frees it when bit 0 of `flags` is set.
  virtual void* ScalarDeletingDestructor(unsigned int flags);
  // Waits without limit; the wait result.
  virtual DWORD Lock();
  // Waits at most 10 ms; kTryLockTimeout on timeout, otherwise the wait result.
  virtual DWORD TryLock();
  // Releases; the release result (nonzero on success).
  virtual DWORD Unlock();

  HANDLE m_hMutex;
  SECURITY_ATTRIBUTES m_sa;
};

// The virtual table of any lockable object as the host sees it. Objects of
// other binaries (the host's run context) are reached only through it: they
// are not objects of this module's C++ types.
struct slcLockableVtable {
  void* (*pfnScalarDeletingDestructor)(void* pThis, unsigned int flags);
  DWORD (*pfnLock)(void* pThis);
  DWORD (*pfnTryLock)(void* pThis);
  DWORD (*pfnUnlock)(void* pThis);
};

// Calls slot 1, 2 or 3 of a lockable object through its own table.
DWORD LockableLock(void* pLockable);
DWORD LockableTryLock(void* pLockable);
DWORD LockableUnlock(void* pLockable);

class slcThreadLock {
 public:
  // `pTarget` is any lockable object (a slcMutex, the host's run context), or
  // null. Takes it at once when `bLockNow` is set and there is a target.
  slcThreadLock(void* pTarget, bool bLockNow);
  // Gives back every hold still counted.
  ~slcThreadLock();
  slcThreadLock(const slcThreadLock&) = delete;
  slcThreadLock& operator=(const slcThreadLock&) = delete;

  virtual void* ScalarDeletingDestructor(unsigned int flags);
  virtual DWORD Lock();
  virtual DWORD TryLock();
  virtual DWORD Unlock();

  void* m_pTarget;
  int32_t m_nLockCount;
};

}  // namespace CPF
