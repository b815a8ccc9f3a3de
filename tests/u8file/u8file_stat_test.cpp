// The stat emulation's time conversion and modes, and u8_stat on systems newer than the
// 2000/XP/2003 generation, where it is the C library's stat (u8file_xp_test.cpp has the
// emulation end to end).

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <wchar.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/scratch.h"
#include "tests/u8file/stat_samples.h"
#include "u8file/u8_stat_mode.h"
#include "u8file/u8file.h"

namespace {

FILETIME filetime_from_ticks(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

TEST(FiletimeToUnix, ReferenceValues) {
  EXPECT_EQ(0, filetime_to_unix(filetime_from_ticks(116444736000000000ULL)));
  EXPECT_EQ(0, filetime_to_unix(filetime_from_ticks(116444736009999999ULL)));
  EXPECT_EQ(1, filetime_to_unix(filetime_from_ticks(116444736010000000ULL)));
  EXPECT_EQ(-11644473600LL, filetime_to_unix(filetime_from_ticks(0)));
  // Both halves count: a value whose high half alone is 1.
  EXPECT_EQ(429 - 11644473600LL, filetime_to_unix(filetime_from_ticks(1ULL << 32)));
  // 2038-01-19 03:14:08 UTC, one second past the 32-bit limit, and the year 3000.
  EXPECT_EQ(2147483648LL, filetime_to_unix(filetime_of(2147483648LL, 1234)));
  EXPECT_EQ(32503680000LL, filetime_to_unix(filetime_of(32503680000LL, 0)));
}

struct ModeCase {
  DWORD attributes;
  const wchar_t* path;
  std::uint16_t mode;
};

TEST(StatMode, OwnerBitsFromAttributesAndName) {
  constexpr DWORD DIR = FILE_ATTRIBUTE_DIRECTORY;
  constexpr DWORD RO = FILE_ATTRIBUTE_READONLY;
  constexpr ModeCase cases[] = {
      {FILE_ATTRIBUTE_NORMAL, L"C:\\tools\\run.CMD", 0x81C0},
      {FILE_ATTRIBUTE_ARCHIVE, L"C:\\tools\\run.cmd", 0x81C0},
      {0, L"C:\\a\\setup.Exe", 0x81C0},
      {0, L"C:\\a\\x.com", 0x81C0},
      {RO, L"C:\\a\\x.BAT", 0x8140},
      {0, L"C:\\dir.d\\readme", 0x8180},
      {0, L"C:\\a\\x.exe.txt", 0x8180},
      {0, L"C:\\a\\x.cmdx", 0x8180},
      {0, L"C:\\a\\exe", 0x8180},
      {0, L"C:\\a\\x.", 0x8180},
      {RO, L"C:\\a\\notes.txt", 0x8100},
      {DIR, L"C:\\a\\folder", 0x4180},
      {DIR, L"C:\\a\\plain.exe", 0x4180},
      {DIR | RO, L"C:\\a\\locked", 0x4100},
      {DIR | FILE_ATTRIBUTE_HIDDEN, L"C:\\a\\h", 0x4180},
  };
  for (const ModeCase& c : cases) {
    EXPECT_EQ(c.mode, u8_mode_from_attributes(c.attributes, c.path)) << narrow(c.path);
  }
}

bool newer_generation() { return (GetVersion() & 0xFF) != 5; }

// On the newer systems u8_stat is the C library's stat narrowed to the record.
class U8StatLibrary : public ::testing::Test {
 protected:
  ScratchFolder scratch{L"stat"};
  StatSamples samples;
  void SetUp() override {
    if (!newer_generation()) GTEST_SKIP() << "this system takes the attribute-based stat";
    ASSERT_TRUE(scratch.ok());
    ASSERT_TRUE(make_stat_samples(scratch, samples));
  }
  void TearDown() override { release_stat_samples(scratch); }
};

TEST_F(U8StatLibrary, MatchesTheLibraryStat) {
  for (const std::string& path : {samples.run_cmd, samples.readme, samples.tool_exe, samples.folder,
                                  samples.read_only_folder, samples.dated}) {
    struct _stat64 expected;
    std::string backslashed = path;
    for (char& c : backslashed) {
      if (c == '/') c = '\\';
    }
    ASSERT_EQ(0, _wstat64(widen(backslashed).c_str(), &expected)) << path;
    Utf8Stat st;
    std::memset(&st, 0x5A, sizeof(st));
    ASSERT_EQ(0, u8_stat(path.c_str(), &st)) << path;
    EXPECT_EQ(expected.st_mode, st.st_mode) << path;
    EXPECT_EQ(expected.st_size, st.st_size) << path;
    EXPECT_EQ(expected.st_mtime, st.st_mtime) << path;
    EXPECT_EQ(expected.st_atime, st.st_atime) << path;
    EXPECT_EQ(expected.st_ctime, st.st_ctime) << path;
    EXPECT_EQ(expected.st_dev, st.st_dev) << path;
    EXPECT_EQ(expected.st_nlink, st.st_nlink) << path;
  }
  Utf8Stat st = {};
  ASSERT_EQ(0, u8_stat(samples.dated.c_str(), &st));
  EXPECT_EQ(SAMPLE_WRITE_SECONDS, st.st_mtime);
  EXPECT_EQ(11, st.st_size);
  EXPECT_EQ(_S_IFREG, st.st_mode & _S_IFMT);
  ASSERT_EQ(0, u8_stat(samples.folder.c_str(), &st));
  EXPECT_EQ(_S_IFDIR, st.st_mode & _S_IFMT);
}

TEST_F(U8StatLibrary, FailuresLeaveTheRecordAlone) {
  Utf8Stat st;
  std::memset(&st, 0x5A, sizeof(st));
  const Utf8Stat before = st;
  errno = 0;
  EXPECT_EQ(-1, u8_stat(scratch.utf8("missing/file").c_str(), &st));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(0, std::memcmp(&before, &st, sizeof(st)));

  ASSERT_TRUE(make_sparse_file_w(scratch.wide(L"three.bin"), 3ULL << 30));
  errno = 0;
  EXPECT_EQ(-1, u8_stat(scratch.utf8("three.bin").c_str(), &st));
  EXPECT_EQ(EOVERFLOW, errno);
  EXPECT_EQ(0, std::memcmp(&before, &st, sizeof(st)));
}

}  // namespace
