#pragma once
// Which entry names the installer can install, and which names extraction may write.
//
// The installer writes every entry as <destination>\<name> into a 256-byte path buffer
// and creates no folders, on a file system that ignores letter case. A name therefore
// has to be a plain Windows file name, short enough to fit behind a long destination.

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/zip_format.h"

// The installer's entry path holds at most this many bytes (terminator not counted).
constexpr std::size_t NAME_INSTALL_PATH_LIMIT = 255;
// Room kept for the destination folder ("C:\Program Files (x86)\Orvinta" and longer).
constexpr std::size_t NAME_DESTINATION_ROOM = 64;
// The separator the installer puts between destination and name.
constexpr std::size_t NAME_SEPARATOR_BYTES = 1;
constexpr std::size_t NAME_MAX_BYTES =
    NAME_INSTALL_PATH_LIMIT - NAME_DESTINATION_ROOM - NAME_SEPARATOR_BYTES;
static_assert(NAME_MAX_BYTES == 190, "entry names get 190 bytes behind a 64-byte destination");
static_assert(NAME_MAX_BYTES < ZIP_NAME_CAPACITY, "the reader keeps every allowed name whole");

enum class NameProblem : std::uint8_t {
  none,
  empty,
  too_long,          // more than NAME_MAX_BYTES
  absolute,          // starts with "/" or "\"
  folder_part,       // holds "/" or "\" further on
  parent_part,       // a ".." part
  colon,             // drive letter or alternate data stream
  control_char,      // bytes 0x01-0x1F and 0x7F
  reserved_char,     // < > " | ? *, which Windows file names cannot hold
  dot_name,          // "." or ".."
  trailing_dot_or_space,  // Windows drops them, so the file would get another name
  device_name,       // CON, NUL, COM0-9, LPT¹, CONIN$ ... in any case, even with an extension
  bad_utf8,          // the installer converts names from UTF-8
};

// Checks a name that is to go into an installer (or that the installer will meet).
NameProblem name_check_install(const char* name, std::size_t length);

// Checks a name before extraction writes it below a folder: only what could place the
// file outside that folder, or could not be created at all, is refused.
NameProblem name_check_extract(const char* name, std::size_t length);

// A short human-readable reason, such as "holds a path separator".
const char* name_problem_text(NameProblem problem);

// The name with letter case folded the way Windows compares file names (ASCII, Latin-1,
// Latin Extended-A, Greek and Cyrillic letters), for spotting names that differ in case only.
// Expects valid UTF-8; other bytes are kept as they are.
std::string name_fold_case(const char* name, std::size_t length);

// Appends the UTF-8 form of a scalar value.
void utf8_append(std::string& out, std::uint32_t code);

// True when every byte is ASCII: other names get the ZIP flag that marks them as UTF-8.
bool name_is_ascii(const char* name, std::size_t length);

// True when the name is "orvinta.exe" in any letter case: the program the installer starts.
bool name_is_installed_program(const char* name, std::size_t length);
