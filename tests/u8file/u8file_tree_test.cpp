// Tree deletion through the shell and the special-folder query.

#include <gtest/gtest.h>

#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/scratch.h"
#include "u8file/u8file.h"

namespace {

class U8Tree : public ::testing::Test {
 protected:
  ScratchFolder scratch{L"tree"};
  void SetUp() override { ASSERT_TRUE(scratch.ok()); }

  // A tree three levels deep with non-ASCII names, an empty folder and a read-only file.
  void build_tree(const std::wstring& root) {
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\a\\\u00E9t\u00E9").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\empty").c_str(), nullptr));
    ASSERT_TRUE(write_file_w(root + L"\\top.txt", "top"));
    ASSERT_TRUE(write_file_w(root + L"\\a\\mid.bin", std::string(70000, 'm')));
    ASSERT_TRUE(write_file_w(root + L"\\a\\\u00E9t\u00E9\\\u65E5.txt", "deep"));
    ASSERT_TRUE(write_file_w(root + L"\\a\\locked.txt", "ro"));
    ASSERT_TRUE(SetFileAttributesW((root + L"\\a\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  }
};

TEST_F(U8Tree, DeletesAWholeTreeAndLeavesItsNeighbours) {
  build_tree(scratch.wide(L"Orvinta \u00D8"));
  ASSERT_TRUE(write_file_w(scratch.wide(L"neighbour.txt"), "stay"));
  ASSERT_TRUE(CreateDirectoryW(scratch.wide(L"Orvinta").c_str(), nullptr));
  const std::string root = with_forward_slashes(scratch.utf8("Orvinta \xC3\x98"));
  EXPECT_EQ(0, u8_delete_tree(root.c_str()));
  EXPECT_FALSE(exists_w(scratch.wide(L"Orvinta \u00D8")));
  EXPECT_EQ("stay", read_file_w(scratch.wide(L"neighbour.txt")));
  EXPECT_TRUE(exists_w(scratch.wide(L"Orvinta")));
}

TEST_F(U8Tree, WidePathWithItsSecondTerminatorDeletesToo) {
  build_tree(scratch.wide(L"wide"));
  std::wstring list = scratch.wide(L"wide");
  list.push_back(L'\0');  // the string's own terminator follows: two zero units
  EXPECT_EQ(0, delete_tree_w(list.c_str()));
  EXPECT_FALSE(exists_w(scratch.wide(L"wide")));
}

TEST_F(U8Tree, MissingFolderFailsQuietly) {
  // With FOF_NOERRORUI the shell answers with a code instead of a box; a box would stop
  // this test until the time limit, as nobody can close it.
  const DWORD started = GetTickCount();
  EXPECT_NE(0, u8_delete_tree(scratch.utf8("not-there").c_str()));
  EXPECT_NE(0, u8_delete_tree(scratch.utf8("not-there/either/").c_str()));
  EXPECT_LT(GetTickCount() - started, 30000u);
  EXPECT_TRUE(exists_w(scratch.wide()));
}

TEST_F(U8Tree, EmptyPathDeletesNothing) {
  // An empty list must not be read as "here": the current folder is the scratch folder.
  ASSERT_TRUE(write_file_w(scratch.wide(L"still.txt"), "here"));
  wchar_t previous[MAX_PATH + 1] = {};
  ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH + 1, previous));
  ASSERT_TRUE(SetCurrentDirectoryW(scratch.wide().c_str()));
  const wchar_t empty_list[2] = {0, 0};
  const int from_utf8 = u8_delete_tree("");
  const int from_wide = delete_tree_w(empty_list);
  SetCurrentDirectoryW(previous);
  EXPECT_NE(0, from_utf8);
  EXPECT_NE(0, from_wide);
  EXPECT_EQ("here", read_file_w(scratch.wide(L"still.txt")));
}

// What SHGetFolderPathW itself answers, converted here on its own.
std::string folder_directly(int csidl) {
  wchar_t path[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::string();
  return narrow(path);
}

TEST(U8SpecialFolder, AnswersInUtf8AndAlwaysTerminates) {
  const std::string expected = folder_directly(CSIDL_PROGRAM_FILES);
  ASSERT_GT(expected.size(), 4u);
  char output[64];
  ASSERT_LT(expected.size(), sizeof(output));
  u8_special_folder(CSIDL_PROGRAM_FILES, output, static_cast<int>(sizeof(output)));
  EXPECT_EQ(expected, std::string(output));
  // Both private Wine prefixes are made so that this holds for 32- and 64-bit programs.
  if (running_under_wine()) {
    EXPECT_STREQ("C:\\Program Files", output);
  }

  // Exactly the path and its terminator fit; one byte less and the output is empty.
  u8_special_folder(CSIDL_PROGRAM_FILES, output, static_cast<int>(expected.size() + 1));
  EXPECT_EQ(expected, std::string(output));
  std::memset(output, 'x', sizeof(output));
  u8_special_folder(CSIDL_PROGRAM_FILES, output, static_cast<int>(expected.size()));
  EXPECT_EQ('\0', output[0]);
  for (std::size_t i = expected.size(); i < sizeof(output); ++i) ASSERT_EQ('x', output[i]) << i;

  // An unknown folder identifier: empty. No room at all: nothing written.
  u8_special_folder(0x7E, output, static_cast<int>(sizeof(output)));
  EXPECT_EQ('\0', output[0]);
  std::memset(output, 'x', sizeof(output));
  u8_special_folder(CSIDL_PROGRAM_FILES, output, 0);
  EXPECT_EQ('x', output[0]);
}

}  // namespace
