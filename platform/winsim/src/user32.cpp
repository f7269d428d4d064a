// user32: window classes, windows and per-thread message queues.
//
// Each window belongs to the thread that created it. Posted messages wait in
// that thread's queue until it peeks or gets them; a message sent from another
// thread waits there too, and the sender blocks until the owner delivers it to
// the window procedure inside its next PeekMessageW/GetMessageW, as on
// Windows. While it waits, a sender still handles messages sent to its own
// windows, so two threads sending to each other do not deadlock. A window
// that is destroyed, or whose thread ends, releases its waiting senders with 0.
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "machine.h"
#include "msgqueue.h"

using namespace winsim::internal;

namespace {

struct WindowClass {
  WStr name;
  WStr folded;  // class names compare without case
  HINSTANCE instance = nullptr;
  WNDPROC proc = nullptr;
  ATOM atom = 0;
};

struct Window {
  WNDPROC proc = nullptr;
  WStr className;
  WStr title;
  DWORD thread = 0;
  bool destroying = false;
  bool topLevel = false;  // no parent: reached by system-wide broadcasts
};

struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::shared_ptr<std::vector<BYTE>> payload;  // keeps lParam's target alive
  bool done = false;
  LRESULT result = 0;
};

struct ThreadQueue {
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  // QS_* kinds of input that arrived since the thread last looked at its
  // queue (PeekMessageW, GetMessageW): what MsgWaitForMultipleObjectsEx wakes on.
  DWORD newInput = 0;
};

struct State {
  std::mutex mutex;
  ClockCondition changed;   // any queue, window or reply changed
  uint64_t generation = 0;  // counts those changes
  std::vector<WindowClass> classes;
  std::map<HWND, Window> windows;
  std::map<DWORD, ThreadQueue> queues;
  uintptr_t nextWindow = 0x10010;
  ATOM nextAtom = 0xC000;
};

// Never destroyed: threads that end during process exit still reach it.
State& S() {
  static State* state = new State;
  return *state;
}

// Wakes the threads that wait for a queue, a window or a reply, and those in
// MsgWaitForMultipleObjectsEx. Called after the change, without s.mutex.
void Changed(State& s) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.generation;
    s.changed.NotifyAll();
  }
  std::lock_guard<std::mutex> lock(SyncLock());
  SyncChanged().NotifyAll();
}

// Windows gives a NULL instance the executable's module.
HINSTANCE NormalInstance(HINSTANCE instance) {
  return instance ? instance : reinterpret_cast<HINSTANCE>(dlopen(nullptr, RTLD_NOW | RTLD_NOLOAD));
}

bool IsIntResource(const void* name) { return reinterpret_cast<uintptr_t>(name) < 0x10000; }

Window* LiveWindow(State& s, HWND hwnd) {
  auto it = s.windows.find(hwnd);
  return it == s.windows.end() ? nullptr : &it->second;
}

void Reply(const std::shared_ptr<SentMessage>& sent, LRESULT result) {
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    sent->result = result;
    sent->done = true;
  }
  Changed(s);
}

// Removes a window with its queued messages; its waiting senders get 0.
// Call with the state locked.
void ForgetWindowLocked(State& s, HWND hwnd) {
  auto it = s.windows.find(hwnd);
  if (it == s.windows.end()) return;
  auto q = s.queues.find(it->second.thread);
  if (q != s.queues.end()) {
    auto& posted = q->second.posted;
    for (auto m = posted.begin(); m != posted.end();) m = m->hwnd == hwnd ? posted.erase(m) : m + 1;
    auto& sent = q->second.sent;
    for (auto m = sent.begin(); m != sent.end();) {
      if ((*m)->hwnd == hwnd) {
        (*m)->done = true;
        (*m)->result = 0;
        m = sent.erase(m);
      } else {
        ++m;
      }
    }
  }
  s.windows.erase(it);
}

struct DestroyedObservers {
  std::mutex mutex;
  std::vector<WindowDestroyedObserver> list;
};

// Never destroyed: threads that end during process exit still tell them.
DestroyedObservers& Observers() {
  static DestroyedObservers* observers = new DestroyedObservers;
  return *observers;
}

void WindowGone(HWND hwnd) {
  std::vector<WindowDestroyedObserver> observers;
  {
    DestroyedObservers& o = Observers();
    std::lock_guard<std::mutex> lock(o.mutex);
    observers = o.list;
  }
  for (const auto& observer : observers) observer(hwnd);
}

// Windows destroys a thread's windows when the thread ends; senders waiting
// on its queue are released.
void OnThreadExit(DWORD thread) {
  State& s = S();
  std::vector<HWND> gone;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const auto& w : s.windows)
      if (w.second.thread == thread) gone.push_back(w.first);
    for (HWND hwnd : gone) ForgetWindowLocked(s, hwnd);
    auto q = s.queues.find(thread);
    if (q != s.queues.end()) {
      for (auto& m : q->second.sent) m->done = true;
      s.queues.erase(q);
    }
  }
  Changed(s);
  for (HWND hwnd : gone) WindowGone(hwnd);
}

struct ThreadExitWatch {
  DWORD thread;
  ~ThreadExitWatch() { OnThreadExit(thread); }
};

// The calling thread's id; its queue is cleaned up when the thread ends.
DWORD CurrentThread() {
  thread_local ThreadExitWatch watch{GetCurrentThreadId()};
  return watch.thread;
}

// Delivers every message other threads sent to this thread's windows.
void DeliverSentMessages(DWORD thread) {
  State& s = S();
  for (;;) {
    std::shared_ptr<SentMessage> sent;
    WNDPROC proc = nullptr;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      auto q = s.queues.find(thread);
      if (q == s.queues.end() || q->second.sent.empty()) return;
      sent = q->second.sent.front();
      q->second.sent.pop_front();
      if (Window* w = LiveWindow(s, sent->hwnd)) proc = w->proc;
    }
    LRESULT result = 0;
    try {
      if (proc) result = proc(sent->hwnd, sent->message, sent->wParam, sent->lParam);
    } catch (...) {
      Reply(sent, 0);  // the sender must not wait for ever
      throw;
    }
    Reply(sent, result);
  }
}

bool HasSentFor(State& s, DWORD thread) {
  auto q = s.queues.find(thread);
  return q != s.queues.end() && !q->second.sent.empty();
}

// Waits until every message is answered (or the deadline passes), handling
// messages sent to this thread meanwhile.
void WaitForReplies(const std::vector<std::shared_ptr<SentMessage>>& pending, DWORD thread, uint64_t deadlineMs) {
  State& s = S();
  for (;;) {
    bool deliver = false;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      auto ready = [&] {
        for (const auto& p : pending)
          if (!p->done) return HasSentFor(s, thread);
        return true;
      };
      if (!s.changed.WaitUntil(lock, deadlineMs, ready)) return;
      bool allDone = true;
      for (const auto& p : pending) allDone = allDone && p->done;
      if (allDone) return;
      deliver = true;
    }
    if (deliver) DeliverSentMessages(thread);
  }
}

bool MatchesFilter(const MSG& m, HWND hwnd, UINT first, UINT last) {
  if (hwnd == reinterpret_cast<HWND>(-1)) {
    if (m.hwnd) return false;  // thread messages only
  } else if (hwnd && m.hwnd != hwnd) {
    return false;
  }
  if (first == 0 && last == 0) return true;
  return m.message >= first && m.message <= last;
}

// Takes (or copies) the first posted message of this thread that matches.
bool TakePosted(DWORD thread, LPMSG out, HWND hwnd, UINT first, UINT last, bool remove) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto q = s.queues.find(thread);
  if (q == s.queues.end()) return false;
  auto& posted = q->second.posted;
  for (auto it = posted.begin(); it != posted.end(); ++it) {
    if (!MatchesFilter(*it, hwnd, first, last)) continue;
    *out = *it;
    if (remove) posted.erase(it);
    return true;
  }
  return false;
}

// A window filter must name a window of this thread (or NULL, or -1).
bool ValidFilterWindow(HWND hwnd) {
  return !hwnd || hwnd == reinterpret_cast<HWND>(-1) || winsim::internal::IsLiveWindow(hwnd);
}

}  // namespace

namespace winsim {
namespace internal {

void OnWindowDestroyed(WindowDestroyedObserver observer) {
  DestroyedObservers& o = Observers();
  std::lock_guard<std::mutex> lock(o.mutex);
  o.list.push_back(std::move(observer));
}

bool IsLiveWindow(HWND hwnd) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  return LiveWindow(s, hwnd) != nullptr;
}

std::string WindowClassOf(HWND hwnd) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  Window* w = LiveWindow(s, hwnd);
  return w ? Utf16ToUtf8(w->className) : std::string();
}

std::vector<HWND> TopLevelWindows() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<HWND> out;
  for (const auto& w : s.windows)
    if (w.second.topLevel && !w.second.destroying) out.push_back(w.first);
  return out;
}

size_t SendMessagesBounded(const std::vector<BoundedSend>& sends, unsigned timeoutMs, std::vector<bool>* handled) {
  State& s = S();
  DWORD self = CurrentThread();
  uint64_t deadline = DeadlineAfterMs(timeoutMs);
  std::vector<std::shared_ptr<SentMessage>> all(sends.size());  // null: no such window
  std::vector<std::shared_ptr<SentMessage>> queued;
  std::vector<std::pair<std::shared_ptr<SentMessage>, WNDPROC>> direct;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (size_t i = 0; i < sends.size(); ++i) {
      const BoundedSend& send = sends[i];
      Window* w = LiveWindow(s, send.hwnd);
      if (!w) continue;
      auto sent = std::make_shared<SentMessage>();
      sent->hwnd = send.hwnd;
      sent->message = send.message;
      sent->wParam = send.wParam;
      sent->payload = send.payload;
      sent->lParam = send.payload ? reinterpret_cast<LPARAM>(send.payload->data()) : 0;
      all[i] = sent;
      if (w->thread == self) {
        direct.push_back({sent, w->proc});
      } else {
        ThreadQueue& q = s.queues[w->thread];
        q.sent.push_back(sent);
        q.newInput |= QS_SENDMESSAGE;
        queued.push_back(sent);
      }
    }
  }
  Changed(s);
  size_t answered = 0;
  for (auto& d : direct) {
    if (d.second) d.second(d.first->hwnd, d.first->message, d.first->wParam, d.first->lParam);
    d.first->done = true;  // only this thread sees it
    ++answered;
  }
  WaitForReplies(queued, self, deadline);
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& q : queued) answered += q->done ? 1 : 0;
  if (handled) {
    handled->assign(sends.size(), false);
    for (size_t i = 0; i < sends.size(); ++i) (*handled)[i] = all[i] && all[i]->done;
  }
  return answered;
}

}  // namespace internal
}  // namespace winsim

// ---------------------------------------------------------------- classes

ATOM RegisterClassW(const WNDCLASSW* lpWndClass) {
  WINSIM_FAIL_POINT(0);
  if (!lpWndClass || !lpWndClass->lpszClassName || IsIntResource(lpWndClass->lpszClassName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WindowClass c;
  c.name = lpWndClass->lpszClassName;
  c.folded = FoldCase(c.name);
  c.instance = NormalInstance(lpWndClass->hInstance);
  c.proc = lpWndClass->lpfnWndProc;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& existing : s.classes) {
    if (existing.folded == c.folded && existing.instance == c.instance) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  c.atom = s.nextAtom++;
  s.classes.push_back(c);
  return c.atom;
}

// ---------------------------------------------------------------- windows

HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y, int nWidth,
                     int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  WINSIM_FAIL_POINT(nullptr);
  if (!lpClassName || IsIntResource(lpClassName)) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  // The ANSI name is matched against the registered wide names through the
  // machine's code page, as Windows converts it.
  WStr folded = FoldCase(AnsiToUtf16(lpClassName));
  HINSTANCE instance = NormalInstance(hInstance);
  DWORD thread = CurrentThread();
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  const WindowClass* found = nullptr;
  for (const auto& c : s.classes)
    if (c.folded == folded && c.instance == instance) found = &c;
  if (!found) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if (hWndParent && !LiveWindow(s, hWndParent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  Window w;
  w.proc = found->proc;
  w.className = found->name;
  w.title = lpWindowName ? AnsiToUtf16(lpWindowName) : WStr();
  w.thread = thread;
  w.topLevel = hWndParent == nullptr;
  HWND hwnd = reinterpret_cast<HWND>(s.nextWindow);
  s.nextWindow += 2;
  s.windows[hwnd] = w;
  s.queues[thread];  // the owner thread has a queue from now on
  // Under the lock, as ClockCondition asks: a wait for this window ends. Not
  // counted as a queue change, so message waits only look and wait on.
  s.changed.NotifyAll();
  return hwnd;
}

HWND FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
  WINSIM_FAIL_POINT(nullptr);
  WStr cls = lpClassName && !IsIntResource(lpClassName) ? FoldCase(AnsiToUtf16(lpClassName)) : WStr();
  WStr title = lpWindowName ? FoldCase(AnsiToUtf16(lpWindowName)) : WStr();
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (const auto& w : s.windows) {
    if (w.second.destroying) continue;
    if (lpClassName && FoldCase(w.second.className) != cls) continue;
    if (lpWindowName && FoldCase(w.second.title) != title) continue;
    return w.first;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

namespace winsim {

bool WaitForWindow(const std::string& className, const std::string& title, unsigned timeoutMs) {
  const WStr cls = FoldCase(Utf8ToUtf16(className)), text = FoldCase(Utf8ToUtf16(title));
  uint64_t deadline = DeadlineAfterMs(timeoutMs);
  State& s = S();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.WaitUntil(lock, deadline, [&] {
    for (const auto& w : s.windows)
      if (w.second.topLevel && !w.second.destroying && FoldCase(w.second.className) == cls &&
          FoldCase(w.second.title) == text)
        return true;
    return false;
  });
}

}  // namespace winsim

BOOL DestroyWindow(HWND hWnd) {
  WINSIM_FAIL_POINT(FALSE);
  DWORD thread = CurrentThread();
  State& s = S();
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    Window* w = LiveWindow(s, hWnd);
    if (!w || w->destroying) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    // Only the owner thread may destroy a window.
    if (w->thread != thread) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    w->destroying = true;
    proc = w->proc;
  }
  if (proc) {
    proc(hWnd, WM_DESTROY, 0, 0);
    proc(hWnd, WM_NCDESTROY, 0, 0);
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ForgetWindowLocked(s, hWnd);
  }
  Changed(s);
  WindowGone(hWnd);
  return TRUE;
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)wParam;
  (void)lParam;
  switch (Msg) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(hWnd); return 0;
    default:
      // WM_DEVICECHANGE included: 0 grants every query.
      return 0;
  }
}

HCURSOR LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
  WINSIM_FAIL_POINT(nullptr);
  uintptr_t id = reinterpret_cast<uintptr_t>(lpCursorName);
  // Only the system cursors exist (IDC_ARROW .. IDC_HELP).
  if (hInstance || id < 32512 || id > 32651) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HCURSOR>(0x10000 + id);
}

HBRUSH GetSysColorBrush(int nIndex) {
  if (nIndex < 0 || nIndex > 30) return nullptr;
  return reinterpret_cast<HBRUSH>(uintptr_t(0x20000 + nIndex));
}

// ---------------------------------------------------------------- messages

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  WINSIM_FAIL_POINT(FALSE);
  DWORD self = CurrentThread();
  MSG m = {};
  m.hwnd = hWnd;
  m.message = Msg;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = GetTickCount();
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    DWORD target = self;  // NULL posts to the calling thread
    if (hWnd) {
      Window* w = LiveWindow(s, hWnd);
      if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
      }
      target = w->thread;
    }
    ThreadQueue& q = s.queues[target];
    q.posted.push_back(m);
    q.newInput |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
  }
  Changed(s);
  return TRUE;
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  WINSIM_FAIL_POINT(0);
  DWORD self = CurrentThread();
  State& s = S();
  auto sent = std::make_shared<SentMessage>();
  WNDPROC proc = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    Window* w = LiveWindow(s, hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (w->thread == self) {
      proc = w->proc;
    } else {
      sent->hwnd = hWnd;
      sent->message = Msg;
      sent->wParam = wParam;
      sent->lParam = lParam;
      ThreadQueue& q = s.queues[w->thread];
      q.sent.push_back(sent);
      q.newInput |= QS_SENDMESSAGE;
    }
  }
  // On the owner thread the procedure runs at once, without the queue.
  if (!sent->hwnd) return proc ? proc(hWnd, Msg, wParam, lParam) : 0;
  Changed(s);
  WaitForReplies({sent}, self, kNoDeadline);
  std::lock_guard<std::mutex> lock(s.mutex);
  return sent->result;
}

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  WINSIM_FAIL_POINT(FALSE);
  DWORD self = CurrentThread();
  {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto q = s.queues.find(self);
    if (q != s.queues.end()) q->second.newInput = 0;
  }
  // Sent messages go to their procedures first, whatever the filter.
  DeliverSentMessages(self);
  if (!ValidFilterWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  MSG m = {};
  if (!TakePosted(self, &m, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0)) return FALSE;
  if (lpMsg) *lpMsg = m;
  return TRUE;
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  WINSIM_FAIL_POINT(-1);
  DWORD self = CurrentThread();
  if (!lpMsg) {
    SetLastError(ERROR_NOACCESS);
    return -1;
  }
  State& s = S();
  for (;;) {
    uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      seen = s.generation;
      s.queues[self].newInput = 0;
    }
    DeliverSentMessages(self);
    if (!ValidFilterWindow(hWnd)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    if (TakePosted(self, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
      return lpMsg->message == WM_QUIT ? FALSE : TRUE;
    // Nothing for this filter: wait for the next change of any queue.
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.WaitUntil(lock, kNoDeadline, [&] { return s.generation != seen; });
  }
}

LRESULT DispatchMessageW(const MSG* lpMsg) {
  if (!lpMsg || !lpMsg->hwnd) return 0;
  WNDPROC proc = nullptr;
  {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    Window* w = LiveWindow(s, lpMsg->hwnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    proc = w->proc;
  }
  return proc ? proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

DWORD MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds, DWORD dwWakeMask,
                                  DWORD dwFlags) {
  WINSIM_FAIL_POINT(WAIT_FAILED);
  if (dwFlags & ~DWORD(MWMO_WAITALL | MWMO_ALERTABLE | MWMO_INPUTAVAILABLE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // Waiting for every object and for input together is not modelled.
  if (dwFlags & MWMO_WAITALL) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return WAIT_FAILED;
  }
  DWORD self = CurrentThread();
  State& s = S();
  // Input that arrived since the thread last looked at its queue; with
  // MWMO_INPUTAVAILABLE also input that was there already.
  auto input = [&] {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto q = s.queues.find(self);
    if (q == s.queues.end()) return false;
    DWORD kinds = q->second.newInput;
    if (dwFlags & MWMO_INPUTAVAILABLE) {
      if (!q->second.posted.empty()) kinds |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
      if (!q->second.sent.empty()) kinds |= QS_SENDMESSAGE;
    }
    return (kinds & dwWakeMask) != 0;
  };
  return WaitForObjects(nCount, pHandles, false, dwMilliseconds, input);
}

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask) {
  WINSIM_FAIL_POINT(WAIT_FAILED);
  return MsgWaitForMultipleObjectsEx(nCount, pHandles, dwMilliseconds, dwWakeMask, fWaitAll ? MWMO_WAITALL : 0);
}
