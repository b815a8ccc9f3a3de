#include "install_core/entry_name.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryName, PlainNamesAndSubfolderNamesAreSafe) {
  for (const char* name : {"orvinta.exe", "a", "readme.txt", "sub/file.dat", "sub\\file.dat", "a..b",
                           "..a", "a..", ".hidden", "./x", "dir/./x", "\xC3\xA9t\xC3\xA9.txt"}) {
    EXPECT_TRUE(entry_name_is_safe(name)) << name;
  }
}

TEST(EntryName, RootedDriveStreamAndClimbingNamesAreRefused) {
  for (const char* name : {"", "/etc/passwd", "\\Windows\\evil.dll", "//server/share/x", "\\\\?\\C:\\x",
                           "C:evil.exe", "C:\\evil.exe", "readme.txt:stream", "..", "../x", "..\\x",
                           "a/../../x", "a\\..\\b", "a/..", "x/.../y", ". ./x", ".. /x", "a/ ../b"}) {
    EXPECT_FALSE(entry_name_is_safe(name)) << name;
  }
  EXPECT_FALSE(entry_name_is_safe(nullptr));
}

}  // namespace
