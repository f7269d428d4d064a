// Win32's failure protocol: the answer, then the thread's last error.
#pragma once
#include <gtest/gtest.h>
#define EXPECT_LAST_ERROR(code) EXPECT_EQ(GetLastError(), static_cast<DWORD>(code))
#define EXPECT_FAILS(call, failed, code) \
  do {                                   \
    EXPECT_EQ((call), (failed));         \
    EXPECT_LAST_ERROR(code);             \
  } while (0)
