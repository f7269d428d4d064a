// Named mutexes, events and waits. One lock and one condition variable serve
// every waitable object: waits are few and short, and a single lock keeps
// ownership, abandonment and signalling consistent.
#include <chrono>
#include <map>
#include <vector>

#include "machine.h"

namespace winsim {
namespace internal {

std::mutex& SyncLock() {
  static std::mutex lock;
  return lock;
}

ClockCondition& SyncChanged() {
  static ClockCondition* changed = new ClockCondition;
  return *changed;
}

void SignalEvent(const std::shared_ptr<EventObject>& event) {
  std::lock_guard<std::mutex> lock(SyncLock());
  event->signalled = true;
  SyncChanged().NotifyAll();
}

namespace {

struct MutexObject : KernelObject {
  DWORD owner = 0;  // thread id, 0 when free
  unsigned count = 0;
  bool abandoned = false;  // the owner thread ended while holding it
};

// Named objects share one namespace; "Local\" names are the session's own,
// which is the only session here.
std::map<WStr, std::weak_ptr<KernelObject>>& Names() {
  static std::map<WStr, std::weak_ptr<KernelObject>> names;
  return names;
}

// Mutexes the thread owns; when the thread ends they are abandoned, so the
// next waiter learns that the protected state may be half-written.
struct OwnedMutexes {
  DWORD tid = 0;
  std::vector<std::weak_ptr<MutexObject>> mutexes;
  ~OwnedMutexes() {
    std::lock_guard<std::mutex> lock(SyncLock());
    bool any = false;
    for (auto& weak : mutexes) {
      auto m = weak.lock();
      if (m && m->owner == tid) {
        m->owner = 0;
        m->count = 0;
        m->abandoned = true;
        any = true;
      }
    }
    if (any) SyncChanged().NotifyAll();
  }
};
thread_local OwnedMutexes t_owned;

// With SyncLock held.
void TakeOwnership(const std::shared_ptr<MutexObject>& m, DWORD tid) {
  m->owner = tid;
  m->count = 1;
  t_owned.tid = tid;
  auto& list = t_owned.mutexes;
  if (list.size() > 32) {
    std::vector<std::weak_ptr<MutexObject>> kept;
    for (auto& weak : list) {
      auto held = weak.lock();
      if (held && held->owner == tid) kept.push_back(weak);
    }
    list.swap(kept);
  }
  list.push_back(m);
}

template <class T>
HANDLE CreateNamed(const WCHAR* name, const std::function<std::shared_ptr<T>()>& make) {
  if (!name || !*name) {
    std::lock_guard<std::mutex> lock(SyncLock());
    auto object = make();
    SetLastError(ERROR_SUCCESS);
    return AddHandle(object);
  }
  WStr key(name);
  if (key.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  static const WStr kLocal = Utf8ToUtf16("Local\\");
  if (key.compare(0, kLocal.size(), kLocal) == 0) key.erase(0, kLocal.size());
  std::lock_guard<std::mutex> lock(SyncLock());
  auto& names = Names();
  auto found = names.find(key);
  if (found != names.end()) {
    if (auto existing = found->second.lock()) {
      auto typed = std::dynamic_pointer_cast<T>(existing);
      if (!typed) {
        SetLastError(ERROR_INVALID_HANDLE);  // the name belongs to another kind of object
        return nullptr;
      }
      SetLastError(ERROR_ALREADY_EXISTS);
      return AddHandle(typed);
    }
  }
  for (auto it = names.begin(); it != names.end();) it = it->second.expired() ? names.erase(it) : std::next(it);
  auto object = make();
  names[key] = object;
  SetLastError(ERROR_SUCCESS);
  return AddHandle(object);
}

}  // namespace
}  // namespace internal
}  // namespace winsim

using namespace winsim::internal;

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName) {
  WINSIM_FAIL_POINT(nullptr);
  DWORD tid = GetCurrentThreadId();
  // Called with SyncLock held; a named mutex that already exists ignores bInitialOwner.
  return CreateNamed<MutexObject>(lpName, [&] {
    auto m = std::make_shared<MutexObject>();
    if (bInitialOwner) TakeOwnership(m, tid);
    return m;
  });
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  WINSIM_FAIL_POINT(nullptr);
  if (!lpName) return CreateMutexW(lpMutexAttributes, bInitialOwner, nullptr);
  WStr name = AnsiToUtf16(lpName);
  return CreateMutexW(lpMutexAttributes, bInitialOwner, name.c_str());
}

BOOL ReleaseMutex(HANDLE hMutex) {
  WINSIM_FAIL_POINT(FALSE);
  auto m = HandleOrFail<MutexObject>(hMutex);
  if (!m) return FALSE;
  std::lock_guard<std::mutex> lock(SyncLock());
  if (m->owner != GetCurrentThreadId() || m->count == 0) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--m->count == 0) {
    m->owner = 0;
    SyncChanged().NotifyAll();
  }
  return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  WINSIM_FAIL_POINT(nullptr);
  return CreateNamed<EventObject>(lpName, [&] {
    auto e = std::make_shared<EventObject>();
    e->manualReset = bManualReset != FALSE;
    e->signalled = bInitialState != FALSE;
    return e;
  });
}

BOOL SetEvent(HANDLE hEvent) {
  WINSIM_FAIL_POINT(FALSE);
  auto e = HandleOrFail<EventObject>(hEvent);
  if (!e) return FALSE;
  SignalEvent(e);
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  WINSIM_FAIL_POINT(FALSE);
  auto e = HandleOrFail<EventObject>(hEvent);
  if (!e) return FALSE;
  std::lock_guard<std::mutex> lock(SyncLock());
  e->signalled = false;
  return TRUE;
}

namespace winsim {
namespace internal {

namespace {

// With SyncLock held.
bool Available(const std::shared_ptr<KernelObject>& object, DWORD tid) {
  if (auto m = dynamic_cast<MutexObject*>(object.get())) return m->owner == 0 || m->owner == tid;
  return static_cast<EventObject*>(object.get())->signalled;
}

// Takes an available object; true when it was a mutex its owner abandoned.
bool Take(const std::shared_ptr<KernelObject>& object, DWORD tid) {
  if (auto m = std::dynamic_pointer_cast<MutexObject>(object)) {
    if (m->owner == tid) {
      ++m->count;
      return false;
    }
    bool abandoned = m->abandoned;
    m->abandoned = false;
    TakeOwnership(m, tid);
    return abandoned;
  }
  auto e = static_cast<EventObject*>(object.get());
  if (!e->manualReset) e->signalled = false;
  return false;
}

}  // namespace

DWORD WaitForObjects(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds,
                     const std::function<bool()>& alsoReady) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<KernelObject>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = LookupHandle(handles[i]);
    if (!std::dynamic_pointer_cast<MutexObject>(object) && !std::dynamic_pointer_cast<EventObject>(object)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // Waiting for all of one object twice is refused, as on Windows.
    if (all)
      for (const auto& earlier : objects)
        if (earlier == object) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
    objects.push_back(object);
  }
  const DWORD tid = GetCurrentThreadId();
  const uint64_t deadline = DeadlineAfterMs(milliseconds);
  DWORD result = WAIT_TIMEOUT;
  auto ready = [&] {
    if (all && count > 0) {
      bool every = true;
      for (const auto& o : objects) every = every && Available(o, tid);
      if (every) {
        result = WAIT_OBJECT_0;
        for (DWORD i = 0; i < count; ++i)
          if (Take(objects[i], tid)) result = WAIT_ABANDONED_0 + i;
        return true;
      }
    } else {
      for (DWORD i = 0; i < count; ++i)
        if (Available(objects[i], tid)) {
          result = Take(objects[i], tid) ? WAIT_ABANDONED_0 + i : WAIT_OBJECT_0 + i;
          return true;
        }
    }
    if (alsoReady && alsoReady()) {
      result = WAIT_OBJECT_0 + count;
      return true;
    }
    return false;
  };
  std::unique_lock<std::mutex> lock(SyncLock());
  if (!SyncChanged().WaitUntil(lock, deadline, ready)) return WAIT_TIMEOUT;
  return result;
}

}  // namespace internal
}  // namespace winsim

DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
  WINSIM_FAIL_POINT(WAIT_FAILED);
  (void)bAlertable;  // no APCs are queued here
  return WaitForObjects(1, &hHandle, false, dwMilliseconds, nullptr);
}

DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable) {
  WINSIM_FAIL_POINT(WAIT_FAILED);
  (void)bAlertable;
  if (nCount == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  return WaitForObjects(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds, nullptr);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  WINSIM_FAIL_POINT(WAIT_FAILED);
  return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  WINSIM_FAIL_POINT(WAIT_FAILED);
  return WaitForSingleObjectEx(hHandle, dwMilliseconds, FALSE);
}
