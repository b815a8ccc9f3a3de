// is_vista_or_later on a system that reports Windows XP. Part of the program that runs
// as Windows XP (u8file_xp_tests, defined in tests/u8file/).

#include <windows.h>

#include <gtest/gtest.h>

#include "installer/elevation.h"
#include "tests/support/as_windows_xp.h"

namespace {

// Wine's kernel32 exports GetLocaleInfoEx whatever version it reports: the export, not
// GetVersion, settles the generation whenever kernel32 loads.
TEST(ElevationOnXp, ExportDecidesOverTheReportedVersion) {
  if (!reports_windows_xp()) GTEST_SKIP() << "not reporting Windows XP";
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  ASSERT_NE(nullptr, kernel32);
  const bool exported = GetProcAddress(kernel32, "GetLocaleInfoEx") != nullptr;
  EXPECT_EQ(exported ? 1 : 0, is_vista_or_later());
}

}  // namespace
