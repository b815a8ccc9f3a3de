// The main of a test program whose tests must see Windows XP: under Wine the program
// first starts itself again as Windows XP and hands back that copy's exit code.

#include <gtest/gtest.h>

#include "tests/support/as_windows_xp.h"

int main(int argc, char** argv) {
  int exit_code = 0;
  if (!ensure_windows_xp_version(exit_code)) return exit_code;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
