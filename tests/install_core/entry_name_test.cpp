#include "install_core/entry_name.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryName, PlainNamesAndSubfolderNamesAreSafe) {
  for (const char* name : {"orvinta.exe", "a", "readme.txt", "sub/file.dat", "sub\\file.dat", "a..b",
                           "..a", "a..", ".hidden", "./x", "dir/./x", "\xC3\xA9t\xC3\xA9.txt",
                           ".\xC3\xA9./x.dll", "\xE6\x97\xA5\xE6\x9C\xAC.txt", "\xF0\x9F\x98\x80.txt",
                           "\xEF\xBF\xBD.txt", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(entry_name_is_safe(name)) << name;
  }
}

TEST(EntryName, RootedDriveStreamClimbingAndSelfNamingNamesAreRefused) {
  for (const char* name : {"", "/etc/passwd", "\\Windows\\evil.dll", "//server/share/x", "\\\\?\\C:\\x",
                           "C:evil.exe", "C:\\evil.exe", "readme.txt:stream", "..", "../x", "..\\x",
                           "a/../../x", "a\\..\\b", "a/..", "x/.../y", ". ./x", ".. /x", "a/ ../b",
                           ".", "./", "./.", " ", ". ", ".\\"}) {
    EXPECT_FALSE(entry_name_is_safe(name)) << name;
  }
  EXPECT_FALSE(entry_name_is_safe(nullptr));
}

// Windows XP drops what is not UTF-8 when it converts a name, so each of these would be
// written as "..\evil.dll" there: every kind of invalid sequence inside a dotted part.
TEST(EntryName, NamesThatAreNotUtf8AreRefused) {
  for (const char* name : {".\x80./evil.dll",                 // stray continuation byte
                           ".\xBF\xBF./evil.dll",             // two of them
                           "\xC0\xAE\xC0\xAE/evil.dll",       // overlong dots
                           ".\xE0\x80\xAE/evil.dll",          // three-byte overlong dot
                           ".\xF0\x80\x80\xAE/evil.dll",      // four-byte overlong dot
                           ".\xC1\xBF./evil.dll",             // overlong two-byte form
                           ".\xED\xA0\x80./evil.dll",         // high surrogate
                           ".\xED\xBF\xBF./evil.dll",         // low surrogate
                           ".\xF4\x90\x80\x80./evil.dll",     // U+110000
                           ".\xF5\x80\x80\x80./evil.dll",     // lead byte beyond U+10FFFF
                           ".\xFF./evil.dll", ".\xFE./evil.dll",
                           ".\xC3./evil.dll",                 // two-byte sequence cut short
                           ".\xE6\x97./evil.dll",             // three-byte sequence cut short
                           ".\xF0\x9F\x98./evil.dll",         // four-byte sequence cut short
                           "evil.dll\xC3",                    // cut short by the end of the name
                           "\xE9t\xE9.txt"}) {                // Latin-1, not UTF-8
    EXPECT_FALSE(entry_name_is_safe(name)) << name;
  }
}

}  // namespace
