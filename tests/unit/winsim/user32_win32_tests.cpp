// Windows, queues and device notifications through Win32 only: the same
// program runs on winsim and, built with mingw, on Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/winapi.h"
#include "win32_expect.h"

namespace {

const UINT kAsk = WM_USER + 1;
const UINT kNote = WM_USER + 2;
const char kClass[] = "DmUser32TestClass";
const DWORD kTimeout = WAIT_TIMEOUT;
std::atomic<int> g_asks{0};
std::atomic<DWORD> g_askThread{0};

LRESULT CALLBACK TestProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kAsk) {
    g_askThread = GetCurrentThreadId();
    ++g_asks;
    return static_cast<LRESULT>(wParam * 2);
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void RegisterTestClass() {
  static bool done = false;
  if (done) return;
  WNDCLASSW wc = {};
  wc.lpfnWndProc = TestProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = WIDE("DmUser32TestClass");
  ASSERT_NE(RegisterClassW(&wc), 0);
  // The same name for the same instance is refused.
  EXPECT_FAILS(RegisterClassW(&wc), 0, ERROR_CLASS_ALREADY_EXISTS);
  done = true;
}

HWND MakeWindow(const char* title) {
  return CreateWindowExA(0, kClass, title, WS_MINIMIZE, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr),
                         nullptr);
}

// A posted message waits for a matching peek; a waiting thread wakes for new
// input of the kinds it asked for, and for its objects; input it has already
// seen wakes it only with MWMO_INPUTAVAILABLE.
TEST(User32, ClassesWindowsOwnQueueAndMsgWait) {
  RegisterTestClass();
  HWND hwnd = MakeWindow("DmUser32 Window");
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(FindWindowA(kClass, nullptr), hwnd);
  EXPECT_EQ(FindWindowA(nullptr, "DmUser32 Window"), hwnd);
  EXPECT_EQ(FindWindowA(kClass, "DmUser32 Other"), nullptr);

  // On the owner thread SendMessageW calls the procedure at once.
  int before = g_asks;
  EXPECT_EQ(SendMessageW(hwnd, kAsk, 21, 0), 42);
  EXPECT_EQ(g_asks, before + 1);

  // PM_NOREMOVE leaves a posted message there.
  ASSERT_TRUE(PostMessageW(hwnd, kNote, 1, 2));
  MSG msg = {};
  EXPECT_FALSE(PeekMessageW(&msg, hwnd, kNote + 1, kNote + 5, PM_REMOVE));
  EXPECT_TRUE(PeekMessageW(&msg, hwnd, kNote, kNote, PM_NOREMOVE));
  ASSERT_TRUE(PeekMessageW(&msg, hwnd, kNote, kNote, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(msg.lParam, 2);
  EXPECT_FALSE(PeekMessageW(&msg, hwnd, kNote, kNote, PM_REMOVE));

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 20, QS_ALLINPUT, 0), kTimeout);
  std::thread poster([hwnd] { PostMessageW(hwnd, kNote, 0, 0); });
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 5000, QS_ALLINPUT, 0), WAIT_OBJECT_0 + 1);
  poster.join();
  // Looked at, left in the queue: no longer new.
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, 0), kTimeout);
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE), WAIT_OBJECT_0);
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  // Input of a kind not asked for does not wake it; the object does.
  PostMessageW(hwnd, kNote, 0, 0);
  SetEvent(event);
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &event, 5000, QS_SENDMESSAGE, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  CloseHandle(event);

  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(FindWindowA(kClass, "DmUser32 Window"), nullptr);
  EXPECT_FAILS(PostMessageW(hwnd, kNote, 0, 0), FALSE, ERROR_INVALID_WINDOW_HANDLE);
}

// A message sent from another thread waits in the owner's queue until the
// owner peeks, and runs on the owner's thread; posted messages reach the
// owner's queue, not the poster's.
TEST(User32, SendFromAnotherThreadWaitsForOwnersPeek) {
  RegisterTestClass();
  std::atomic<HWND> hwnd{nullptr};
  std::atomic<DWORD> ownerId{0};
  std::atomic<bool> ready{false}, pending{false}, stop{false};
  std::atomic<int> asksWhilePending{-1}, postedSeen{0};
  const int before = g_asks;
  std::thread owner([&] {
    ownerId = GetCurrentThreadId();
    HWND w = MakeWindow("DmUser32 Worker");
    hwnd = w;
    ready = true;
    // Waits for the sent message without retrieving it, then pumps.
    pending = MsgWaitForMultipleObjectsEx(0, nullptr, 10000, QS_SENDMESSAGE, 0) == WAIT_OBJECT_0;
    asksWhilePending = g_asks.load();
    while (!stop) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        if (msg.message == kNote && msg.hwnd == w) ++postedSeen;
      Sleep(5);
    }
    DestroyWindow(w);
  });
  while (!ready) Sleep(1);
  EXPECT_NE(hwnd.load(), nullptr);
  EXPECT_EQ(SendMessageW(hwnd, kAsk, 7, 0), 14);
  EXPECT_TRUE(pending) << "the sent message never showed in the owner's queue";
  EXPECT_EQ(asksWhilePending.load(), before) << "handled before the owner peeked";
  EXPECT_EQ(g_askThread, ownerId.load());

  ASSERT_TRUE(PostMessageW(hwnd, kNote, 0, 0));
  for (int i = 0; i < 1000 && postedSeen < 1; ++i) Sleep(5);
  EXPECT_EQ(postedSeen.load(), 1);
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, kNote, kNote, PM_REMOVE));
  stop = true;
  owner.join();
}

}  // namespace
