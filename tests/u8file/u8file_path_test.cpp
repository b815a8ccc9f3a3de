// Separator normalisation, conversion into the fixed buffers, and the length limits of
// every operation: paths beyond them fail with the operation's failure result.

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>

#include "tests/support/scratch.h"
#include "u8file/u8_path.h"
#include "u8file/u8file.h"

namespace {

// U+00E9 (2 bytes, 1 unit), U+65E5 (3 bytes, 1 unit), U+1F600 (4 bytes, 2 units).
const std::string E_ACUTE = "\xC3\xA9";
const std::string SUN = "\xE6\x97\xA5";
const std::string GRIN = "\xF0\x9F\x98\x80";

std::string repeat(const std::string& piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(U8Path, NormalisesEverySlashAndNothingElse) {
  U8PathBuffer out;
  ASSERT_TRUE(u8_normalise_path("C:/dir//sub\\./../file.bin/", out));
  EXPECT_STREQ("C:\\dir\\\\sub\\.\\..\\file.bin\\", out.text);
  // A multi-byte character next to a slash keeps all its bytes.
  const std::string mixed = "a/" + GRIN + "/" + SUN + "b";
  ASSERT_TRUE(u8_normalise_path(mixed.c_str(), out));
  EXPECT_EQ("a\\" + GRIN + "\\" + SUN + "b", std::string(out.text));
}

TEST(U8Path, Utf8LimitIs1023Bytes) {
  U8PathBuffer narrow_out;
  const std::string longest = repeat("a", 1023);
  ASSERT_TRUE(u8_normalise_path(longest.c_str(), narrow_out));
  EXPECT_EQ(1023u, narrow_out.length);
  const std::string too_long = longest + "/";
  errno = 0;
  EXPECT_FALSE(u8_normalise_path(too_long.c_str(), narrow_out));
  EXPECT_EQ(ENAMETOOLONG, errno);
  EXPECT_EQ(0u, narrow_out.length);
  EXPECT_EQ('\0', narrow_out.text[0]);
}

TEST(U8Path, Utf16LimitsCountUnitsNotBytes) {
  U8WideBuffer out;
  // 1023 units fit the 1024-unit buffer; 1024 do not, also when it is the pair at the end.
  const std::string fits = repeat(E_ACUTE, 1021) + GRIN;  // 1021 + 2 units
  ASSERT_TRUE(u8_to_wide(fits.c_str(), out));
  EXPECT_EQ(1023u, out.length);
  EXPECT_EQ(0, out.text[1023]);
  const std::string over = repeat(E_ACUTE, 1022) + GRIN;  // 1024 units
  EXPECT_FALSE(u8_to_wide(over.c_str(), out));
  EXPECT_EQ(0u, out.length);
  for (wchar_t unit : out.text) ASSERT_EQ(0, unit) << "a failed conversion leaves no partial text";

  // The tree deletion's limit keeps one more zero unit behind the path.
  const std::string for_tree = repeat("d", 1022);
  ASSERT_TRUE(u8_normalised_wide_path(for_tree.c_str(), out, U8_WIDE_CAPACITY - 1));
  EXPECT_EQ(0, out.text[1022]);
  EXPECT_EQ(0, out.text[1023]);
  EXPECT_FALSE(u8_normalised_wide_path((for_tree + "d").c_str(), out, U8_WIDE_CAPACITY - 1));
}

// Every operation refuses an over-long path cleanly, even when the part that would fit
// names something that exists: a cut path must never reach the file system.
TEST(U8Path, OverlongPathsFailEveryOperation) {
  ScratchFolder scratch(L"long");
  ASSERT_TRUE(scratch.ok());
  ASSERT_TRUE(write_file_w(scratch.wide(L"target"), "keep"));
  // The scratch path padded with "\." parts is the same folder for the system, but long.
  std::string padded = scratch.utf8();
  while (padded.size() < 1016) padded += ".\\";
  const std::string overlong = padded + repeat(".\\", 8) + "target";
  ASSERT_GT(overlong.size(), 1023u);

  EXPECT_EQ(nullptr, u8_fopen(overlong.c_str(), "rb"));
  EXPECT_EQ(-1, u8_open(overlong.c_str(), _O_RDONLY | _O_BINARY, 0));
  EXPECT_EQ(-1, u8_mkdir((overlong + "-new").c_str()));
  Utf8Stat st = {};
  st.st_size = 77;
  EXPECT_EQ(-1, u8_stat(overlong.c_str(), &st));
  EXPECT_EQ(77, st.st_size);
  EXPECT_NE(0, u8_delete_tree(overlong.c_str()));

  // remove and rename convert without the UTF-8 copy: their limit is 1023 UTF-16 units.
  const std::string overlong_units = repeat(GRIN, 300) + padded;  // 600 + over 1000 units
  EXPECT_EQ(-1, u8_remove(overlong_units.c_str()));
  EXPECT_EQ(-1, u8_rename(overlong_units.c_str(), scratch.utf8("renamed").c_str()));
  EXPECT_EQ(-1, u8_rename(scratch.utf8("target").c_str(), overlong_units.c_str()));
  EXPECT_EQ("keep", read_file_w(scratch.wide(L"target")));
}

}  // namespace
