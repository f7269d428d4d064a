#include <cstring>
#include <limits>
#include <string>
#include <gtest/gtest.h>
#include "common/util/MemBuffer.h"

namespace {

std::string Thrown(CMemBuffer& buffer, int64_t size, int64_t step) {
  try {
    buffer.Resize(size, step);
  } catch (const char* text) {
    return text;
  }
  return "nothing";
}

bool ZeroFrom(const CMemBuffer& buffer, int64_t offset) {
  for (int64_t i = offset; i < buffer.GetCapacity(); ++i)
    if (buffer.GetBuffer()[i] != 0) return false;
  return true;
}

}  // namespace

TEST(MemBuffer, GrowsByTheSharedRuleAndKeepsContent) {
  CMemBuffer buffer;
  buffer.SetString("abc");
  EXPECT_EQ(buffer.GetCapacity(), 1024);
  buffer.Resize(1100, -1);  // one step of 1024
  EXPECT_EQ(buffer.GetCapacity(), 2048);
  EXPECT_EQ(buffer.ToString(), "abc");
  EXPECT_TRUE(ZeroFrom(buffer, 4));
  buffer.Resize(5000, -1);  // past one step: rounded up instead
  EXPECT_EQ(buffer.GetCapacity(), 5120);
  EXPECT_EQ(buffer.GetSize(), 5000);
  EXPECT_EQ(buffer.ToString(), "abc");
  buffer.Resize(40000, -1);
  EXPECT_EQ(buffer.GetGrowSize(), 32768);
  EXPECT_EQ(buffer.GetCapacity(), 40960);  // past 5120 + 32768: rounded up

  // The automatic step of large sizes: 32 KiB up to 1 MiB, 1 MiB up to
  // 32 MiB, 32 MiB beyond; growing by one step when it is enough.
  for (int64_t size : {1048576, 1048577, 33554432, 33554433}) {
    CMemBuffer large;
    large.Resize(size, -1);
    EXPECT_EQ(large.GetGrowSize(), size <= 1048576 ? 32768 : size <= 33554432 ? 1048576 : 33554432) << size;
    EXPECT_EQ(large.GetCapacity(), ((size + 2) / 1024 + 1) * 1024) << size;
  }
  CMemBuffer large;
  large.Resize(1048577, -1);  // capacity 1049600
  large.Resize(1049601, -1);
  EXPECT_EQ(large.GetCapacity(), 1049600 + 1048576);
  EXPECT_TRUE(ZeroFrom(large, 0));

  // Step 0: an eighth of the current size, between 4 and 1024.
  CMemBuffer proportional;
  proportional.Resize(2040, -1);
  EXPECT_EQ(proportional.GetCapacity(), 2048);
  proportional.Resize(2049, 0);
  EXPECT_EQ(proportional.GetCapacity(), 2048 + 255);

  // Size 0 and Clear keep the storage, zeroed.
  buffer.Resize(0, -1);
  EXPECT_EQ(buffer.GetCapacity(), 40960);
  EXPECT_TRUE(ZeroFrom(buffer, 0));
  buffer.SetString("longer text");
  buffer.SetString("x");  // shrinking leaves no stale bytes behind the text
  EXPECT_EQ(buffer.ToString(), "x");
  EXPECT_TRUE(ZeroFrom(buffer, 1));
  buffer.Resize(10, 7);
  buffer.Clear();
  EXPECT_EQ(buffer.GetSize(), 0);
  EXPECT_EQ(buffer.GetGrowSize(), 1024);
  EXPECT_TRUE(ZeroFrom(buffer, 0));
}

TEST(MemBuffer, CopiesNeverShareStorage) {
  CMemBuffer source;
  source.Resize(40000, -1);
  source.Resize(3, -1);
  memcpy(source.GetBuffer(), "xyz", 3);
  CMemBuffer copy(source);
  EXPECT_NE(copy.GetBuffer(), source.GetBuffer());
  EXPECT_EQ(copy.GetCapacity(), 1024);
  EXPECT_EQ(copy.GetGrowSize(), 1024);
  EXPECT_EQ(copy.GetSize(), 3);
  EXPECT_EQ(memcmp(copy.GetBuffer(), "xyz", 3), 0);
  EXPECT_TRUE(ZeroFrom(copy, 3));

  CMemBuffer assigned;
  assigned.SetString("old");
  assigned = source;
  EXPECT_NE(assigned.GetBuffer(), source.GetBuffer());
  EXPECT_EQ(assigned.GetSize(), 3);
  CMemBuffer empty;
  assigned = empty;
  EXPECT_EQ(assigned.GetSize(), 0);
  EXPECT_EQ(assigned.GetBuffer(), nullptr);
}

TEST(MemBuffer, FailuresThrowTextsAndKeepTheBuffer) {
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  CMemBuffer empty;
  EXPECT_EQ(Thrown(empty, -1, -1), "InvalidArgExcption");
  EXPECT_EQ(Thrown(empty, kMax, -1), "InvalidMemoryExcption");
  EXPECT_EQ(Thrown(empty, kMax - 2, -1), "InvalidMemoryExcption");
  EXPECT_EQ(empty.GetBuffer(), nullptr);

  CMemBuffer buffer;
  buffer.SetString("keep");
  unsigned char* storage = buffer.GetBuffer();
  EXPECT_EQ(Thrown(buffer, -5, -1), "InvalidArgExcption");
  EXPECT_EQ(Thrown(buffer, 2000, kMax), "InvalidMemoryExcption");  // capacity + step overflows
  EXPECT_EQ(buffer.GetBuffer(), storage);
  EXPECT_EQ(buffer.GetSize(), 5);
  EXPECT_EQ(buffer.GetCapacity(), 1024);
  EXPECT_EQ(buffer.ToString(), "keep");
}
