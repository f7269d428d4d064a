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

TEST(MemBuffer, GrowingKeepsContentZeroesTheRestAndStaysCheap) {
  // Grown a byte at a time to 40 MiB, the storage moves a bounded number of
  // times, the text written first survives every move, and everything behind
  // the size reads as zero.
  CMemBuffer buffer;
  buffer.SetString("abc");
  int moves = 0;
  unsigned char* storage = buffer.GetBuffer();
  for (int64_t size = 4; size <= (40 << 20); size += 1 + size / 64) {
    buffer.Resize(size, -1);
    ASSERT_GE(buffer.GetCapacity(), size);
    if (buffer.GetBuffer() != storage) {
      ++moves;
      storage = buffer.GetBuffer();
      ASSERT_EQ(memcmp(storage, "abc", 4), 0) << size;
      ASSERT_TRUE(ZeroFrom(buffer, 4)) << size;
    }
  }
  EXPECT_LT(moves, 200);

  // Size 0 and Clear keep no stale bytes; shrinking text leaves none behind.
  buffer.Resize(0, -1);
  EXPECT_TRUE(ZeroFrom(buffer, 0));
  buffer.SetString("longer text");
  buffer.SetString("x");
  EXPECT_EQ(buffer.ToString(), "x");
  EXPECT_TRUE(ZeroFrom(buffer, 1));
  buffer.Clear();
  EXPECT_EQ(buffer.GetSize(), 0);
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
