// Main of every test program. Tests that start the module leave its detached
// worker threads running; Windows' ExitProcess would stop them before static
// destructors run, Linux's exit would not, so the run ends with _exit after
// flushing (and, under LeakSanitizer, after an explicit leak check).
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include "support/test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DM_HAS_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DM_HAS_LSAN 1
#endif
#ifdef DM_HAS_LSAN
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
  dmtest::InstallCrashHandler();
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
#ifdef DM_HAS_LSAN
  if (__lsan_do_recoverable_leak_check() != 0 && rc == 0) rc = 1;
#endif
  fflush(stdout);
  fflush(stderr);
  dmtest::QuickExit(rc);
}
