// Entry name rules: what the installer can install, and what extraction may write.

#include "tools/name_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

NameProblem install(const std::string& name) { return name_check_install(name.data(), name.size()); }
NameProblem extract(const std::string& name) { return name_check_extract(name.data(), name.size()); }
std::string fold(const std::string& name) { return name_fold_case(name.data(), name.size()); }

TEST(NameRules, PlainWindowsFileNamesAreInstallable) {
  for (const char* name : {"orvinta.exe", "a", "libEGL.dll", "read me.txt", ".hidden", "x..y",
                           "console.log", "COM10", "LPT", "naïve.txt", "\xE6\x97\xA5\xE6\x9C\xAC.txt",
                           "COM\xC2\xB9\xC2\xB9", "COM\xC2\xBC", "LPT\xC2\xB4", "COM\xE2\x81\xB4.txt",
                           "CONIN", "CONOUT", "CONIN$$", "coninx.txt", "COM1x", "xCOM1", "nul_.txt", "COM-1",
                           "COM\xEF\xBC\x91.txt", "\xC2\xB9" "COM"}) {
    EXPECT_EQ(install(name), NameProblem::none) << name;
  }
}

TEST(NameRules, InstallRefusesWhatTheInstallerCannotCreate) {
  const struct {
    std::string name;
    NameProblem problem;
  } cases[] = {
      {"", NameProblem::empty},
      {"/etc", NameProblem::absolute},
      {"\\share", NameProblem::absolute},
      {"bin/app.dll", NameProblem::folder_part},
      {"bin\\app.dll", NameProblem::folder_part},
      {"../app.dll", NameProblem::parent_part},
      {"a\\..\\b", NameProblem::parent_part},
      {"C:app.dll", NameProblem::colon},
      {"app.dll:stream", NameProblem::colon},
      {std::string("a\x01" "b"), NameProblem::control_char},
      {std::string("tab\tname"), NameProblem::control_char},
      {std::string("del\x7F"), NameProblem::control_char},
      {std::string("nul\0byte", 8), NameProblem::control_char},
      {"what?.txt", NameProblem::reserved_char},
      {"a*b", NameProblem::reserved_char},
      {"a<b>", NameProblem::reserved_char},
      {"pipe|d", NameProblem::reserved_char},
      {"quote\"d", NameProblem::reserved_char},
      {".", NameProblem::dot_name},
      {"..", NameProblem::parent_part},
      {"name.", NameProblem::trailing_dot_or_space},
      {"name ", NameProblem::trailing_dot_or_space},
      {"NUL", NameProblem::device_name},
      {"con.txt", NameProblem::device_name},
      {"Com1.dll", NameProblem::device_name},
      {"lpt9", NameProblem::device_name},
      {"aux .log", NameProblem::device_name},
      {"COM0", NameProblem::device_name},
      {"lpt0.txt", NameProblem::device_name},
      {"prn.tar.gz", NameProblem::device_name},
      {"COM\xC2\xB9", NameProblem::device_name},               // COM¹
      {"com\xC2\xB2.dll", NameProblem::device_name},           // com².dll
      {"Com\xC2\xB3 .txt", NameProblem::device_name},          // Com³ .txt
      {"LPT\xC2\xB9.txt", NameProblem::device_name},           // LPT¹.txt
      {"lpt\xC2\xB2", NameProblem::device_name},               // lpt²
      {"lPt\xC2\xB3.a.b", NameProblem::device_name},           // lPt³.a.b
      {"CONIN$", NameProblem::device_name},
      {"conin$.txt", NameProblem::device_name},
      {"CONOUT$", NameProblem::device_name},
      {"ConOut$.log", NameProblem::device_name},
      {"bad\xC3", NameProblem::bad_utf8},
      {"over\xC0\xAFlong", NameProblem::bad_utf8},
      {"surrogate\xED\xA0\x80", NameProblem::bad_utf8},
      {"latin1\xE9", NameProblem::bad_utf8},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(install(c.name), c.problem) << c.name;
    EXPECT_STRNE(name_problem_text(c.problem), name_problem_text(NameProblem::none));
  }
}

TEST(NameRules, LengthLeavesRoomForALongDestination) {
  // 64 bytes of destination, one separator and the name must fit the 255-byte entry path.
  const std::string longest(NAME_MAX_BYTES, 'a');
  EXPECT_EQ(NAME_DESTINATION_ROOM + 1 + longest.size(), NAME_INSTALL_PATH_LIMIT);
  EXPECT_EQ(install(longest), NameProblem::none);
  EXPECT_EQ(install(longest + "b"), NameProblem::too_long);
  // Bytes count, not characters: 95 two-byte letters are 190 bytes, one more is too many.
  std::string wide;
  for (int i = 0; i < 95; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(install(wide), NameProblem::none);
  EXPECT_EQ(install(wide + "\xC3\xA9"), NameProblem::too_long);
}

TEST(NameRules, ExtractRefusesOnlyWhatLeavesTheFolder) {
  for (const char* name : {"app.dll", "con.txt", "what?", "name.", "x..y", "..."}) {
    EXPECT_EQ(extract(name), NameProblem::none) << name;
  }
  EXPECT_EQ(extract("/etc/passwd"), NameProblem::absolute);
  EXPECT_EQ(extract("\\Windows\\x.dll"), NameProblem::absolute);
  EXPECT_EQ(extract("../../x"), NameProblem::parent_part);
  EXPECT_EQ(extract("a/../../x"), NameProblem::parent_part);
  EXPECT_EQ(extract("a\\.."), NameProblem::parent_part);
  EXPECT_EQ(extract("C:\\x"), NameProblem::colon);
  EXPECT_EQ(extract("c:x"), NameProblem::colon);
  EXPECT_EQ(extract("file:ads"), NameProblem::colon);
  EXPECT_EQ(extract("sub/file"), NameProblem::folder_part);
  EXPECT_EQ(extract(".."), NameProblem::parent_part);
  EXPECT_EQ(extract("."), NameProblem::dot_name);
  EXPECT_EQ(extract(std::string("a\0/../b", 7)), NameProblem::control_char);
}

TEST(NameRules, CaseFoldingMatchesNamesWindowsTreatsAsOne) {
  EXPECT_EQ(fold("Orvinta.EXE"), fold("orvinta.exe"));
  EXPECT_EQ(fold("\xC3\x84pfel"), fold("\xC3\xA4pfel"));          // Ä / ä
  EXPECT_EQ(fold("\xC4\x8C" "esky"), fold("\xC4\x8D" "esky"));    // Č / č
  EXPECT_EQ(fold("\xD0\x9C\xD0\xB8\xD1\x80"), fold("\xD0\xBC\xD0\xB8\xD1\x80"));  // Мир / мир
  EXPECT_EQ(fold("\xD0\x81"), fold("\xD1\x91"));                  // Ё / ё
  EXPECT_EQ(fold("\xCE\xA3"), fold("\xCF\x83"));                  // Σ / σ
  EXPECT_EQ(fold("\xC5\xB8"), fold("\xC3\xBF"));                  // Ÿ / ÿ
  EXPECT_NE(fold("a.dll"), fold("b.dll"));
  EXPECT_NE(fold("\xC3\x97"), fold("\xC3\xB7"));                  // × and ÷ are no letter pair
  EXPECT_EQ(fold("bad\xFFtail"), "bad\xFFtail");                  // invalid bytes kept
}

TEST(NameRules, InstalledProgramIsFoundInAnyCase) {
  EXPECT_TRUE(name_is_installed_program("orvinta.exe", 11));
  EXPECT_TRUE(name_is_installed_program("ORVINTA.Exe", 11));
  EXPECT_FALSE(name_is_installed_program("orvinta.exe.bak", 15));
  EXPECT_FALSE(name_is_installed_program("orvinta", 7));
}

}  // namespace
