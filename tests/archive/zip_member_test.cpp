// Named member access on archive files in a private folder: the split of the combined
// path, case-insensitive lookup, extraction into a self-deleting temporary file, and
// that no call leaves a file behind in the temporary folder.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "archive/zip_reader.h"
#include "tests/support/scratch.h"
#include "tests/support/zip_builder.h"

namespace {

std::wstring temp_folder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

// Files the member operations created in the temporary folder.
int temporary_files() {
  WIN32_FIND_DATAW found;
  const std::wstring pattern = temp_folder() + L"ORV*.tmp";
  HANDLE h = FindFirstFileW(pattern.c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  do ++count;
  while (FindNextFileW(h, &found));
  FindClose(h);
  return count;
}

struct MemberFixture : ::testing::Test {
  ScratchFolder scratch{L"member"};
  std::string folder;  // with '\' separators, ending in '\'
  BuiltArchive scrambled;
  BuiltArchive plain;
  int temp_files_before = 0;

  void SetUp() override {
    ASSERT_TRUE(scratch.ok());
    folder = scratch.utf8();

    TestArchive a;
    a.host = zip_test_random_bytes(3000, 1);
    a.entries.push_back(zip_test_entry("other.bin", zip_test_random_bytes(100, 2)));
    a.entries.push_back(zip_test_entry("README.TXT", "Read me first.\r\n"));
    a.entries.push_back(zip_test_entry("Twice.txt", "earlier"));
    a.entries.push_back(zip_test_entry("TWICE.TXT", "later"));
    a.entries.push_back(zip_test_entry("sub/file.txt", "nested"));
    TestEntry broken = zip_test_entry("bad.dat", zip_test_random_bytes(5000, 3), ZIP_METHOD_DEFLATE);
    broken.crc32 = zip_test_crc32(broken.data) ^ 0x100u;
    a.entries.push_back(broken);
    TestEntry locked = zip_test_entry("locked.dat", "secret");
    locked.flags = ZIP_FLAG_ENCRYPTED;
    a.entries.push_back(locked);
    a.entries.push_back(zip_test_entry("big.bin", zip_test_random_bytes(20000, 4), ZIP_METHOD_DEFLATE));
    scrambled = zip_build(a);
    ASSERT_TRUE(zip_test_write_file(folder + "pack", scrambled.bytes));

    a.host.clear();
    a.scrambled = false;
    plain = zip_build(a);
    ASSERT_TRUE(zip_test_write_file(folder + "plain.zip", plain.bytes));
    temp_files_before = temporary_files();
  }

  void TearDown() override {
    EXPECT_EQ(temporary_files(), temp_files_before) << "a temporary file was left behind";
  }

  std::int32_t first_header() const { return static_cast<std::int32_t>(scrambled.header_offsets[0]); }
};

TEST_F(MemberFixture, FindsNameRegardlessOfCaseAndExtractsIt) {
  const std::string combined = folder + "pack/readme.txt";
  std::int32_t offset = -1;
  EXPECT_EQ(zip_member_exists(combined.c_str(), &offset), 0);
  EXPECT_EQ(offset, first_header());

  offset = -1;
  FILE* stream = zip_extract_member_to_temp(combined.c_str(), &offset);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(offset, first_header());
  EXPECT_EQ(temporary_files(), temp_files_before + 1);
  EXPECT_EQ(std::ftell(stream), 0L);
  EXPECT_EQ(zip_test_stream_contents(stream), zip_test_bytes("Read me first.\r\n"));
  std::fclose(stream);
  EXPECT_EQ(temporary_files(), temp_files_before);  // closing deleted it
}

TEST_F(MemberFixture, UnscrambledArchiveWithoutOffsetVariable) {
  const std::string combined = folder + "plain.zip/BIG.BIN";
  EXPECT_EQ(zip_member_exists(combined.c_str(), nullptr), 0);
  FILE* stream = zip_extract_member_to_temp(combined.c_str(), nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(zip_test_stream_contents(stream), zip_test_random_bytes(20000, 4));
  std::fclose(stream);
  // The scrambled archive is not recognised without the variable, nor the plain one with it.
  EXPECT_EQ(zip_member_exists((folder + "pack/big.bin").c_str(), nullptr), -1);
  std::int32_t offset = -1;
  EXPECT_EQ(zip_member_exists(combined.c_str(), &offset), -1);
  EXPECT_EQ(offset, -1);
}

TEST_F(MemberFixture, ArchivePathIsEverythingBeforeTheLastSlash) {
  const std::string combined = with_forward_slashes(folder) + "pack/other.bin";
  ASSERT_GE(std::count(combined.begin(), combined.end(), '/'), 3);
  std::int32_t offset = -1;
  EXPECT_EQ(zip_member_exists(combined.c_str(), &offset), 0);
  FILE* stream = zip_extract_member_to_temp(combined.c_str(), &offset);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(zip_test_stream_contents(stream), zip_test_random_bytes(100, 2));
  std::fclose(stream);
}

TEST_F(MemberFixture, NamesThatCannotMatch) {
  struct Case {
    const char* what;
    std::string combined;
    bool archive_opens;
  };
  const Case cases[] = {
      {"trailing slash: empty member name", folder + "pack/", true},
      {"no such entry", folder + "pack/missing.txt", true},
      {"name with a folder part", folder + "pack/sub/file.txt", false},
      {"only the last part of a nested name", folder + "pack/file.txt", true},
      {"no slash at all", folder + "pack\\README.TXT", false},
      {"no such archive", folder + "nothing/README.TXT", false},
      {"combined path over 1023 bytes", folder + "pack/" + std::string(1100, 'x'), false},
  };
  for (const Case& c : cases) {
    std::int32_t offset = -1;
    EXPECT_EQ(zip_member_exists(c.combined.c_str(), &offset), -1) << c.what;
    // The variable is written whenever the archive opened, whether or not the entry was found.
    EXPECT_EQ(offset, c.archive_opens ? first_header() : -1) << c.what;
    offset = -1;
    EXPECT_EQ(zip_extract_member_to_temp(c.combined.c_str(), &offset), nullptr) << c.what;
    EXPECT_EQ(offset, c.archive_opens ? first_header() : -1) << c.what;
  }
  EXPECT_EQ(zip_member_exists("README.TXT", nullptr), -1);
  EXPECT_EQ(zip_extract_member_to_temp("", nullptr), nullptr);
}

TEST_F(MemberFixture, EarlierOfTwoNamesDifferingInCaseWins) {
  for (const char* name : {"twice.txt", "TWICE.TXT", "Twice.txt"}) {
    std::int32_t offset = -1;
    FILE* stream = zip_extract_member_to_temp((folder + "pack/" + name).c_str(), &offset);
    ASSERT_NE(stream, nullptr) << name;
    EXPECT_EQ(zip_test_stream_contents(stream), zip_test_bytes("earlier")) << name;
    std::fclose(stream);
  }
}

TEST_F(MemberFixture, FailedExtractionLeavesNoTemporaryFile) {
  for (const char* name : {"bad.dat", "locked.dat"}) {
    const std::string combined = folder + "pack/" + name;
    std::int32_t offset = -1;
    EXPECT_EQ(zip_member_exists(combined.c_str(), &offset), 0) << name;  // present, just not extractable
    EXPECT_EQ(zip_extract_member_to_temp(combined.c_str(), &offset), nullptr) << name;
    EXPECT_EQ(offset, first_header());
    EXPECT_EQ(temporary_files(), temp_files_before) << name;
  }
}

}  // namespace
