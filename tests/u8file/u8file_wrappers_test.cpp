// The plain wrappers against the real file system: names with non-ASCII characters arrive
// as the same characters, either separator works, and failures come back unchanged.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/scratch.h"
#include "u8file/u8file.h"

namespace {

// "Zürich Ωμέγα 日本 😀": two-, three- and four-byte UTF-8, the last a surrogate pair.
const std::string NAME_UTF8 =
    "Z\xC3\xBCrich \xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
const std::wstring NAME_WIDE = L"Z\u00FCrich \u03A9\u03BC\u03AD\u03B3\u03B1 \u65E5\u672C \U0001F600";

// The names the file system lists in a folder.
std::vector<std::wstring> list_folder(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

class U8Wrappers : public ::testing::Test {
 protected:
  ScratchFolder scratch{L"wrap"};
  void SetUp() override { ASSERT_TRUE(scratch.ok()); }
};

TEST_F(U8Wrappers, NonAsciiNamesReachTheFileSystemAsTheSameCharacters) {
  const std::string folder = scratch.utf8(NAME_UTF8);
  ASSERT_EQ(0, u8_mkdir(folder.c_str()));
  const std::string file = folder + "/" + NAME_UTF8 + ".txt";
  FILE* stream = u8_fopen(file.c_str(), "wb");
  ASSERT_NE(nullptr, stream);
  ASSERT_EQ(5u, std::fwrite("hello", 1, 5, stream));
  ASSERT_EQ(0, std::fclose(stream));

  EXPECT_EQ(std::vector<std::wstring>{NAME_WIDE}, list_folder(scratch.wide()));
  EXPECT_EQ(std::vector<std::wstring>{NAME_WIDE + L".txt"}, list_folder(scratch.wide(NAME_WIDE + L"\\")));
  EXPECT_EQ("hello", read_file_w(scratch.wide(NAME_WIDE + L"\\" + NAME_WIDE + L".txt")));

  const std::string renamed = folder + "\\" + "\xC3\xA9t\xC3\xA9.txt";  // "été.txt"
  ASSERT_EQ(0, u8_rename(file.c_str(), renamed.c_str()));
  EXPECT_EQ(std::vector<std::wstring>{L"\u00E9t\u00E9.txt"}, list_folder(scratch.wide(NAME_WIDE + L"\\")));
  ASSERT_EQ(0, u8_remove(renamed.c_str()));
  EXPECT_TRUE(list_folder(scratch.wide(NAME_WIDE + L"\\")).empty());
}

TEST_F(U8Wrappers, MixedSeparatorsOpenTheRightFile) {
  ASSERT_TRUE(CreateDirectoryW(scratch.wide(L"dir").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(scratch.wide(L"dir\\sub").c_str(), nullptr));
  // "<scratch>/dir/sub\file.bin", the scratch part written with "/" as well.
  const std::string mixed = with_forward_slashes(scratch.utf8()) + "dir/sub\\file.bin";
  FILE* stream = u8_fopen(mixed.c_str(), "wb");
  ASSERT_NE(nullptr, stream);
  const char bytes[] = {'a', '\n', 'b', '\0', 'c'};
  ASSERT_EQ(sizeof(bytes), std::fwrite(bytes, 1, sizeof(bytes), stream));
  std::fclose(stream);
  // Binary mode: the newline was not widened, the zero byte was kept.
  EXPECT_EQ(std::string(bytes, sizeof(bytes)), read_file_w(scratch.wide(L"dir\\sub\\file.bin")));
  EXPECT_EQ(std::vector<std::wstring>{L"file.bin"}, list_folder(scratch.wide(L"dir\\sub\\")));

  stream = u8_fopen(mixed.c_str(), "rb");
  ASSERT_NE(nullptr, stream);
  char back[8] = {};
  EXPECT_EQ(sizeof(bytes), std::fread(back, 1, sizeof(back), stream));
  std::fclose(stream);
  EXPECT_EQ(0, std::memcmp(bytes, back, sizeof(bytes)));

  errno = 0;
  EXPECT_EQ(nullptr, u8_fopen(scratch.utf8("missing/file.bin").c_str(), "rb"));
  EXPECT_EQ(ENOENT, errno);
}

TEST_F(U8Wrappers, OpenPassesFlagsAndPermissionThrough) {
  const std::string path = with_forward_slashes(scratch.utf8("temp/open.bin"));
  ASSERT_TRUE(CreateDirectoryW(scratch.wide(L"temp").c_str(), nullptr));
  // The flags and permission of the archive's temporary files: read-write, created,
  // binary, removed when the last descriptor closes.
  const int descriptor = u8_open(path.c_str(), _O_RDWR | _O_CREAT | _O_TEMPORARY | _O_BINARY, 0x1B6);
  ASSERT_GE(descriptor, 0);
  EXPECT_EQ(3, _write(descriptor, "a\nb", 3));
  EXPECT_TRUE(exists_w(scratch.wide(L"temp\\open.bin")));
  EXPECT_EQ(0L, _lseek(descriptor, 0, SEEK_SET));
  char back[4] = {};
  EXPECT_EQ(3, _read(descriptor, back, sizeof(back)));
  EXPECT_STREQ("a\nb", back);
  _close(descriptor);
  EXPECT_FALSE(exists_w(scratch.wide(L"temp\\open.bin"))) << "_O_TEMPORARY was not passed on";

  // Permission without _S_IWRITE: the file is created read-only.
  const int read_only = u8_open(scratch.utf8("temp/ro.bin").c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD);
  ASSERT_GE(read_only, 0);
  _close(read_only);
  const DWORD attributes = GetFileAttributesW(scratch.wide(L"temp\\ro.bin").c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_READONLY);
}

TEST_F(U8Wrappers, MkdirCreatesOneFolderOnly) {
  const std::string fresh = with_forward_slashes(scratch.utf8("fresh"));
  ASSERT_EQ(0, u8_mkdir(fresh.c_str()));
  EXPECT_NE(0u, GetFileAttributesW(scratch.wide(L"fresh").c_str()) & FILE_ATTRIBUTE_DIRECTORY);

  errno = 0;
  EXPECT_EQ(-1, u8_mkdir(fresh.c_str())) << "an existing folder";
  EXPECT_EQ(EEXIST, errno);

  errno = 0;
  EXPECT_EQ(-1, u8_mkdir(scratch.utf8("missing/child").c_str())) << "a missing parent";
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(exists_w(scratch.wide(L"missing")));
}

TEST_F(U8Wrappers, RemoveAndRenamePassFailuresThrough) {
  errno = 0;
  EXPECT_EQ(-1, u8_remove(scratch.utf8("nothing.bin").c_str()));
  EXPECT_EQ(ENOENT, errno);
  ASSERT_TRUE(write_file_w(scratch.wide(L"a.bin"), "A"));
  ASSERT_TRUE(write_file_w(scratch.wide(L"b.bin"), "B"));
  // The C library's rename does not replace an existing target.
  EXPECT_EQ(-1, u8_rename(scratch.utf8("a.bin").c_str(), scratch.utf8("b.bin").c_str()));
  EXPECT_EQ("B", read_file_w(scratch.wide(L"b.bin")));
}

}  // namespace
