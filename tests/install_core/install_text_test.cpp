// The installer's paths and message texts: what is built, and that nothing longer than
// the fixed buffers is ever used or written.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "install_core/install_messages.h"
#include "install_core/install_paths.h"

namespace {

const std::string PF = "C:\\Program Files";

TEST(InstallPaths, DestinationEntryAndProgramPaths) {
  InstallPath destination;
  ASSERT_EQ(install_build_destination(PF.c_str(), destination), DESTINATION_OK);
  EXPECT_STREQ(destination.text, "C:\\Program Files\\Orvinta");

  InstallPath path;
  EXPECT_TRUE(install_build_entry_path(destination.text, "data/readme.txt", path));
  EXPECT_STREQ(path.text, "C:\\Program Files\\Orvinta\\data/readme.txt");  // stored "/" kept
  EXPECT_TRUE(install_build_program_path(destination.text, path));
  EXPECT_STREQ(path.text, "C:\\Program Files\\Orvinta\\orvinta.exe");
}

TEST(InstallPaths, UnknownProgramFilesGivesNoDestination) {
  InstallPath destination;
  EXPECT_EQ(install_build_destination("", destination), DESTINATION_UNKNOWN);
  EXPECT_STREQ(destination.text, "\\Orvinta");  // named in the message, never used
  EXPECT_EQ(install_build_destination(nullptr, destination), DESTINATION_UNKNOWN);
}

TEST(InstallPaths, PathsUpTo255BytesFitAndLongerOnesAreRefused) {
  InstallPath destination;
  // 247 + 8 ("\Orvinta") = 255 bytes: fits exactly; one more does not.
  EXPECT_EQ(install_build_destination(std::string(247, 'p').c_str(), destination), DESTINATION_OK);
  EXPECT_EQ(destination.length, 255u);
  EXPECT_EQ(install_build_destination(std::string(248, 'p').c_str(), destination), DESTINATION_TOO_LONG);
  EXPECT_LT(destination.length, INSTALL_PATH_CAPACITY);

  const std::string base = "C:\\O";  // + "\" + name
  InstallPath path;
  EXPECT_TRUE(install_build_entry_path(base.c_str(), std::string(250, 'n').c_str(), path));
  EXPECT_EQ(path.length, 255u);
  EXPECT_FALSE(install_build_entry_path(base.c_str(), std::string(251, 'n').c_str(), path));
  EXPECT_EQ(path.length, 255u);  // the cut text, for the message
  EXPECT_EQ(path.text[255], 0);

  // "\orvinta.exe" is 12 bytes.
  EXPECT_TRUE(install_build_program_path(std::string(243, 'd').c_str(), path));
  EXPECT_FALSE(install_build_program_path(std::string(244, 'd').c_str(), path));
}

TEST(InstallMessages, TextsAroundThePath) {
  MessageText text;
  EXPECT_TRUE(install_compose_message(MESSAGE_ARCHIVE_UNREADABLE, "C:\\setup.exe", text));
  EXPECT_STREQ(text.text, "Error reading C:\\setup.exe, installation file corrupted.\nPlease download Orvinta again.");
  EXPECT_TRUE(install_compose_message(MESSAGE_CREATE_FAILED, "C:\\P\\Orvinta\\a.txt", text));
  EXPECT_STREQ(text.text,
               "Error creating C:\\P\\Orvinta\\a.txt, possibly a file protection problem.\n"
               "Try deleting this folder and installing again.");
  EXPECT_TRUE(install_compose_message(MESSAGE_DATA_CORRUPT, "", text));
  EXPECT_STREQ(text.text, "Error reading , installation file corrupted.\nPlease download Orvinta again.");
  EXPECT_TRUE(install_compose_message(MESSAGE_DATA_CORRUPT, nullptr, text));
  EXPECT_STREQ(text.text, "Error reading , installation file corrupted.\nPlease download Orvinta again.");
  EXPECT_STREQ(INSTALL_CAPTION, "Orvinta Install");
}

TEST(InstallMessages, LongPathsAreCutNeverOverflowing) {
  // Message 2 leaves room for 156 bytes of path, messages 1 and 3 for 180.
  struct Case { InstallMessage message; std::size_t room; };
  for (const Case c : {Case{MESSAGE_CREATE_FAILED, 156}, Case{MESSAGE_ARCHIVE_UNREADABLE, 180},
                       Case{MESSAGE_DATA_CORRUPT, 180}}) {
    MessageText text;
    std::memset(text.text, 'X', sizeof(text.text));
    EXPECT_TRUE(install_compose_message(c.message, std::string(c.room, 'a').c_str(), text));
    EXPECT_EQ(text.length, 255u);
    EXPECT_FALSE(install_compose_message(c.message, std::string(c.room + 1, 'a').c_str(), text));
    EXPECT_EQ(text.length, 255u);
    EXPECT_EQ(text.text[255], 0);
    EXPECT_FALSE(install_compose_message(c.message, std::string(1000, 'a').c_str(), text));
    EXPECT_EQ(std::strlen(text.text), text.length);
    EXPECT_LE(text.length, 255u);
  }
}

TEST(InstallMessages, CutKeepsWholeUtf8Characters) {
  // "Error creating " (15 bytes), 231 ASCII bytes, then two-byte characters: the 255th
  // byte of the text is the first half of one, so the cut must drop that half.
  std::string path(231, 'a');
  for (int i = 0; i < 10; ++i) path += "\xC3\xA9";
  MessageText text;
  EXPECT_FALSE(install_compose_message(MESSAGE_CREATE_FAILED, path.c_str(), text));
  EXPECT_EQ(text.length, 254u);
  EXPECT_EQ(static_cast<unsigned char>(text.text[252]), 0xC3u);
  EXPECT_EQ(static_cast<unsigned char>(text.text[253]), 0xA9u);
}

}  // namespace
