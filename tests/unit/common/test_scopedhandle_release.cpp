#include <utility>
#include <gtest/gtest.h>
#include "common/util/ScopedHandle.h"

namespace {

int g_closes[4];

// Handles are small numbers; 0 is none. Close counts per handle.
struct CountingTraits {
  typedef int Handle;
  static Handle Invalid() { return 0; }
  static bool IsValid(Handle h) { return h != 0; }
  static void Close(Handle h) { ++g_closes[h]; }
};
typedef ScopedHandle<CountingTraits> Counted;

TEST(ScopedHandle, MovesResetsAndReleaseCloseEachHandleExactlyOnce) {
  {
    Counted first(1);
    Counted second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    Counted third(2);
    third = std::move(second);  // closes 2, takes 1
    EXPECT_EQ(g_closes[2], 1);
    EXPECT_EQ(g_closes[1], 0);
    third.Reset(3);  // closes 1
    EXPECT_EQ(g_closes[1], 1);
    EXPECT_EQ(third.Release(), 3);  // given up unclosed
    EXPECT_FALSE(third.IsValid());
  }
  EXPECT_EQ(g_closes[1], 1);
  EXPECT_EQ(g_closes[2], 1);
  EXPECT_EQ(g_closes[3], 0);
}

}  // namespace
