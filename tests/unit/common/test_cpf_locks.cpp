#include <algorithm>
#include <cstddef>
#include <thread>
#include <gtest/gtest.h>
#include "common/cpf/CpfLock.h"
#include "common/util/WString.h"
#include "test_cpf_context.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(dmtest::FakeRunContext, maxIndex) == 40, "fake context matches the host layout");
static_assert(offsetof(dmtest::FakeRunContext, entries) == 48, "fake context matches the host layout");
#pragma GCC diagnostic pop

TEST(Cpf, MutexNameFromTheTimeOfCreation) {
  WCHAR name[41];
  CPF::FormatMutexName({2026, 3, 6, 7, 4, 5, 6, 7}, name);  // Saturday 7 March 2026, 04:05:06.007
  EXPECT_EQ(WideToAnsi(name), "UUID:07:06:04:007:05:03:06:2026");
  for (size_t i = 31; i < 41; ++i) EXPECT_EQ(name[i], 0) << i;
  CPF::FormatMutexName({65535, 12, 0, 31, 23, 59, 59, 999}, name);
  EXPECT_EQ(WideToAnsi(name), "UUID:31:00:23:999:59:12:59:65535");
}

TEST(Cpf, NamedMutexExcludesOtherThreads) {
  CPF::slcMutex mutex;
  ASSERT_NE(mutex.m_hMutex, nullptr);
  EXPECT_EQ(mutex.Lock(), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD other = 0;
  std::thread([&] { other = mutex.TryLock(); }).join();
  EXPECT_EQ(other, CPF::kTryLockTimeout);
  EXPECT_NE(mutex.Unlock(), 0u);
  std::thread([&] {
    other = mutex.TryLock();
    mutex.Unlock();
  }).join();
  EXPECT_EQ(other, static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(Cpf, ThreadLockReleasesExactlyWhatItTook) {
  dmtest::FakeRunContext target;
  {
    CPF::slcThreadLock lock(&target, true);
    lock.Lock();
    target.tryResult = CPF::kTryLockTimeout;  // timed out: not counted
    EXPECT_EQ(lock.TryLock(), CPF::kTryLockTimeout);
    target.tryResult = WAIT_ABANDONED;  // any other answer is a hold
    EXPECT_EQ(lock.TryLock(), static_cast<DWORD>(WAIT_ABANDONED));
    lock.Unlock();
    EXPECT_EQ(lock.m_nLockCount, 2);
    EXPECT_EQ(target.unlocks, 1);
  }
  EXPECT_EQ(target.locks, 2);
  EXPECT_EQ(target.unlocks, 3);

  { CPF::slcThreadLock deferred(&target, false); }
  EXPECT_EQ(target.locks + target.unlocks, 5);

  CPF::slcThreadLock none(nullptr, true);
  EXPECT_EQ(none.TryLock(), 0u);
  EXPECT_EQ(none.Lock(), 0u);
  EXPECT_EQ(none.m_nLockCount, 0);
}

TEST(Cpf, RunContextEntriesWithinBoundsUnderItsLock) {
  dmtest::FakeRunContext context;
  int first = 0, second = 0, third = 0;
  context.maxIndex = 2;
  void* entries[] = {&first, &second, &third};
  std::copy(entries, entries + 3, context.entries);
  void* out = &context;
  EXPECT_EQ(context.AsHostContext()->GetEntry(-1, &out), -1);
  EXPECT_EQ(context.AsHostContext()->GetEntry(3, &out), -1);
  EXPECT_EQ(out, &context);
  EXPECT_EQ(context.AsHostContext()->GetEntry(2, &out), 2);
  EXPECT_EQ(out, &third);
  EXPECT_EQ(context.locks, 3);  // an empty run context: the plug-in export test
  EXPECT_EQ(context.unlocks, 3);
}
