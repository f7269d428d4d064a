// The machine's virtual clock: time moves only when every thread winsim knows
// of waits, and then jumps to the earliest deadline.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/winapi.h"
#include "winsim/control.h"

namespace {

class VirtualClock : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(winsim::LoadMachineJson(R"({"clock": "virtual"})", ".", &error)) << error;
    ASSERT_TRUE(winsim::VirtualClock());
  }
  void TearDown() override { winsim::LoadMachineJson("{}", "."); }
};

// A thread the clock knows from its creation, as the module's thread wrapper
// starts them.
template <class F>
std::thread Announced(F body) {
  PlatformAnnounceThread();
  return std::thread([body] {
    PlatformThreadBegins();
    body();
  });
}

double WallSeconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

ULONGLONG FileTimeMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 10000;
}

TEST_F(VirtualClock, AnHourOfSleepTakesNoWallTimeAndEveryClockAgrees) {
  auto wall = std::chrono::steady_clock::now();
  ULONGLONG tick = GetTickCount64(), file = FileTimeMs();
  LARGE_INTEGER counter, after;
  QueryPerformanceCounter(&counter);
  Sleep(3600 * 1000);
  QueryPerformanceCounter(&after);
  EXPECT_EQ(GetTickCount64() - tick, 3600000u);
  EXPECT_EQ(FileTimeMs() - file, 3600000u);
  EXPECT_EQ((after.QuadPart - counter.QuadPart) / 10000, 3600000);  // 10 MHz
  EXPECT_LT(WallSeconds(wall), 2.0);
}

TEST_F(VirtualClock, ABusyThreadHoldsTimeStill) {
  std::atomic<bool> started{false};
  ULONGLONG seenFirst = 0, seenLast = 0;
  std::thread busy([&] {
    seenFirst = GetTickCount64();  // known to the clock from here on
    started = true;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) seenLast = GetTickCount64();
  });
  while (!started) std::this_thread::yield();
  auto wall = std::chrono::steady_clock::now();
  Sleep(50);  // cannot end before the busy thread has finished computing
  EXPECT_GE(WallSeconds(wall), 0.2);
  EXPECT_EQ(seenLast, seenFirst) << "time moved under a computing thread";
  busy.join();
  EXPECT_EQ(GetTickCount64() - seenFirst, 50u);
}

TEST_F(VirtualClock, ASignalEndsAWaitAtOnceTimeOutsAreExactAndDeadlinesFireInOrder) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ULONGLONG start = GetTickCount64();
  std::thread setter = Announced([&] {
    Sleep(500);
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(GetTickCount64() - start, 500u);
  setter.join();

  ResetEvent(event);
  start = GetTickCount64();
  HANDLE both[] = {event, event};  // one object twice: allowed when any will do
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 250), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(GetTickCount64() - start, 250u);
  CloseHandle(event);

  std::mutex lock;
  std::vector<std::pair<DWORD, ULONGLONG>> woke;
  start = GetTickCount64();
  std::vector<std::thread> threads;
  for (DWORD ms : {300u, 100u, 200u})
    threads.push_back(Announced([&, ms] {
      Sleep(ms);
      std::lock_guard<std::mutex> guard(lock);
      woke.emplace_back(ms, GetTickCount64() - start);
    }));
  // Joining is a wait the clock cannot see: let the time pass first.
  Sleep(1000);
  for (auto& t : threads) t.join();
  ASSERT_EQ(woke.size(), 3u);
  for (size_t i = 0; i < woke.size(); ++i) {
    EXPECT_EQ(woke[i].first, 100u * (i + 1));
    EXPECT_EQ(woke[i].second, woke[i].first);
  }
}

}  // namespace
