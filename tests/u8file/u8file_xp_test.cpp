// u8_stat on the Windows 2000/XP/2003 generation, where it builds the record from the
// file's attributes. Part of the program that runs as Windows XP (u8file_xp_tests).

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/as_windows_xp.h"
#include "tests/support/scratch.h"
#include "tests/u8file/stat_samples.h"
#include "u8file/u8file.h"

namespace {

class U8StatOnXp : public ::testing::Test {
 protected:
  ScratchFolder scratch{L"xp"};
  StatSamples samples;
  void SetUp() override {
    if (!reports_windows_xp()) {
      // Under Wine the version is set by this program: not getting it is a failure.
      ASSERT_FALSE(running_under_wine()) << "Wine did not report Windows XP to this program";
      GTEST_SKIP() << "not on the 2000/XP/2003 generation";
    }
    ASSERT_TRUE(scratch.ok());
    ASSERT_TRUE(make_stat_samples(scratch, samples));
  }
  void TearDown() override { release_stat_samples(scratch); }

  std::uint16_t mode_of(const std::string& path) {
    Utf8Stat st = {};
    EXPECT_EQ(0, u8_stat(path.c_str(), &st)) << path;
    return st.st_mode;
  }
};

TEST_F(U8StatOnXp, ModesComeFromAttributesAndName) {
  EXPECT_EQ(0x81C0, mode_of(samples.run_cmd));
  EXPECT_EQ(0x8180, mode_of(samples.readme));
  EXPECT_EQ(0x8140, mode_of(samples.tool_exe));
  EXPECT_EQ(0x8100, mode_of(samples.notes));
  EXPECT_EQ(0x4180, mode_of(samples.folder));
  ASSERT_TRUE(samples.read_only_folder_kept) << "the file system lost the folder's read-only mark";
  EXPECT_EQ(0x4100, mode_of(samples.read_only_folder));
}

TEST_F(U8StatOnXp, RecordFieldsOfTheEmulation) {
  Utf8Stat st;
  std::memset(&st, 0x5A, sizeof(st));
  ASSERT_EQ(0, u8_stat(with_forward_slashes(samples.dated).c_str(), &st));
  EXPECT_EQ(SAMPLE_WRITE_SECONDS, st.st_mtime);
  EXPECT_EQ(SAMPLE_ACCESS_SECONDS, st.st_atime);
  EXPECT_EQ(creation_seconds_of(samples.dated), st.st_ctime);
  EXPECT_EQ(11, st.st_size);
  // The C library would give the drive number and a link count: the emulation gives 0.
  EXPECT_EQ(0u, st.st_dev);
  EXPECT_EQ(0u, st.st_rdev);
  EXPECT_EQ(0, st.st_nlink);
}

TEST_F(U8StatOnXp, FailuresLeaveTheRecordAlone) {
  Utf8Stat st;
  std::memset(&st, 0x5A, sizeof(st));
  const Utf8Stat before = st;
  EXPECT_EQ(-1, u8_stat(scratch.utf8("missing").c_str(), &st));
  EXPECT_EQ(0, std::memcmp(&before, &st, sizeof(st)));
}

// 5 GiB: the low 32 bits alone would claim 1 GiB. The size does not fit, so the call fails
// as the C library's stat does, and the record keeps what it held.
TEST_F(U8StatOnXp, FilesBeyondTheSizeFieldFail) {
  ASSERT_TRUE(make_sparse_file_w(scratch.wide(L"five.bin"), 5368709120ULL));
  ASSERT_TRUE(make_sparse_file_w(scratch.wide(L"two.bin"), 2147483648ULL));
  ASSERT_TRUE(make_sparse_file_w(scratch.wide(L"largest.bin"), 2147483647ULL));
  Utf8Stat st;
  std::memset(&st, 0x5A, sizeof(st));
  const Utf8Stat before = st;
  for (const char* name : {"five.bin", "two.bin"}) {
    errno = 0;
    EXPECT_EQ(-1, u8_stat(scratch.utf8(name).c_str(), &st)) << name;
    EXPECT_EQ(EOVERFLOW, errno) << name;
    EXPECT_EQ(0, std::memcmp(&before, &st, sizeof(st))) << name;
  }
  ASSERT_EQ(0, u8_stat(scratch.utf8("largest.bin").c_str(), &st));
  EXPECT_EQ(2147483647, st.st_size);
  EXPECT_EQ(0x8180, st.st_mode);
}

}  // namespace
