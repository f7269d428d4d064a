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

// The four slots every lockable object of this module fills, in the host's
// order. Not copyable: each object owns what it holds.
class slcLockable {
 public:
  slcLockable() = default;
  slcLockable(const slcLockable&) = delete;
  slcLockable& operator=(const slcLockable&) = delete;

  // Slot 0: destroys the object, frees it when bit 0 of `flags` is set.
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;
  virtual DWORD Lock() = 0;
  virtual DWORD TryLock() = 0;
  virtual DWORD Unlock() = 0;

 protected:
  ~slcLockable() = default;
};

class slcMutex : public slcLockable {
 public:
  slcMutex();
  ~slcMutex();

  void* ScalarDeletingDestructor(unsigned int flags) override;
  // Waits without limit; the wait result.
  DWORD Lock() override;
  // Waits at most 10 ms; kTryLockTimeout on timeout, otherwise the wait result.
  DWORD TryLock() override;
  // Releases; the release result (nonzero on success).
  DWORD Unlock() override;

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

class slcThreadLock : public slcLockable {
 public:
  // `pTarget` is any lockable object (a slcMutex, the host's run context), or
  // null. Takes it at once when `bLockNow` is set and there is a target.
  slcThreadLock(void* pTarget, bool bLockNow);
  // Gives back every hold still counted.
  ~slcThreadLock();

  void* ScalarDeletingDestructor(unsigned int flags) override;
  DWORD Lock() override;
  DWORD TryLock() override;
  DWORD Unlock() override;

  void* m_pTarget;
  int32_t m_nLockCount;
};

}  // namespace CPF
