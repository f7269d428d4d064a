#include "common/cpf/CpfLock.h"

#include <cstddef>
#include <cstring>
#include <new>

namespace CPF {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(slcMutex, m_hMutex) == 8, "slcMutex handle at 8");
static_assert(offsetof(slcMutex, m_sa) == 16, "slcMutex security attributes at 16");
static_assert(sizeof(slcMutex) == 40, "slcMutex is 40 bytes");
static_assert(offsetof(slcThreadLock, m_pTarget) == 8, "slcThreadLock target at 8");
static_assert(offsetof(slcThreadLock, m_nLockCount) == 16, "slcThreadLock count at 16");
#pragma GCC diagnostic pop

namespace {

// Appends `value` in decimal with at least `width` digits, as "%0<width>d".
void AppendNumber(WCHAR (&name)[41], size_t& length, unsigned value, unsigned width) {
  WCHAR digits[10];
  unsigned count = 0;
  do {
    digits[count++] = static_cast<WCHAR>('0' + value % 10);
    value /= 10;
  } while (value != 0 && count < 10);
  while (count < width && count < 10) digits[count++] = static_cast<WCHAR>('0');
  while (count > 0 && length < 40) name[length++] = digits[--count];
}

void AppendText(WCHAR (&name)[41], size_t& length, const char* text) {
  for (; *text != 0 && length < 40; ++text) name[length++] = static_cast<WCHAR>(*text);
}

}  // namespace

void FormatMutexName(const SYSTEMTIME& time, WCHAR (&name)[41]) {
  for (WCHAR& unit : name) unit = 0;
  size_t length = 0;
  const unsigned fields[8][2] = {{time.wDay, 2},    {time.wDayOfWeek, 2}, {time.wHour, 2},   {time.wMilliseconds, 3},
                                 {time.wMinute, 2}, {time.wMonth, 2},     {time.wSecond, 2}, {time.wYear, 4}};
  AppendText(name, length, "UUID");
  for (const auto& field : fields) {
    AppendText(name, length, ":");
    AppendNumber(name, length, field[0], field[1]);
  }
}

// ---------------------------------------------------------------------------

slcMutex::slcMutex() : m_hMutex(nullptr) {
  m_sa.nLength = sizeof(SECURITY_ATTRIBUTES);
  m_sa.lpSecurityDescriptor = nullptr;
  m_sa.bInheritHandle = TRUE;
  SYSTEMTIME now;
  GetSystemTime(&now);
  WCHAR name[41];
  FormatMutexName(now, name);
  // Objects built in the same millisecond share one kernel mutex by name.
  m_hMutex = CreateMutexW(&m_sa, FALSE, name);
}

slcMutex::~slcMutex() {
  if (m_hMutex != nullptr) {
    CloseHandle(m_hMutex);
    m_hMutex = nullptr;
  }
}

void* slcMutex::ScalarDeletingDestructor(unsigned int flags) {
  this->slcMutex::~slcMutex();  // this class's own destructor: the slot is overridden per class
  if (flags & 1) ::operator delete(this);
  return this;
}

DWORD slcMutex::Lock() { return WaitForSingleObject(m_hMutex, INFINITE); }

DWORD slcMutex::TryLock() {
  DWORD result = WaitForSingleObject(m_hMutex, 10);
  return result == WAIT_TIMEOUT ? kTryLockTimeout : result;
}

DWORD slcMutex::Unlock() { return static_cast<DWORD>(ReleaseMutex(m_hMutex)); }

// ---------------------------------------------------------------------------

namespace {

const slcLockableVtable* TableOf(void* pLockable) {
  const slcLockableVtable* table = nullptr;
  memcpy(&table, pLockable, sizeof(table));
  return table;
}

}  // namespace

DWORD LockableLock(void* pLockable) { return TableOf(pLockable)->pfnLock(pLockable); }
DWORD LockableTryLock(void* pLockable) { return TableOf(pLockable)->pfnTryLock(pLockable); }
DWORD LockableUnlock(void* pLockable) { return TableOf(pLockable)->pfnUnlock(pLockable); }

slcThreadLock::slcThreadLock(void* pTarget, bool bLockNow) : m_pTarget(pTarget), m_nLockCount(0) {
  if (bLockNow && m_pTarget != nullptr) {
    LockableLock(m_pTarget);
    m_nLockCount = 1;
  }
}

slcThreadLock::~slcThreadLock() {
  while (m_nLockCount > 0 && m_pTarget != nullptr) {
    LockableUnlock(m_pTarget);
    --m_nLockCount;
  }
}

void* slcThreadLock::ScalarDeletingDestructor(unsigned int flags) {
  this->slcThreadLock::~slcThreadLock();
  if (flags & 1) ::operator delete(this);
  return this;
}

DWORD slcThreadLock::Lock() {
  if (m_pTarget == nullptr) return 0;
  DWORD result = LockableLock(m_pTarget);
  ++m_nLockCount;
  return result;
}

DWORD slcThreadLock::TryLock() {
  if (m_pTarget == nullptr) return 0;
  DWORD result = LockableTryLock(m_pTarget);
  if (result == kTryLockTimeout) return result;
  ++m_nLockCount;
  return result;
}

DWORD slcThreadLock::Unlock() {
  if (m_pTarget == nullptr) return 0;
  DWORD result = LockableUnlock(m_pTarget);
  --m_nLockCount;
  return result;
}

}  // namespace CPF
