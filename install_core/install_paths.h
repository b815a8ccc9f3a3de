#pragma once
// Every path the installation builds: the destination folder below Program Files, the
// file of each entry inside it, and the installed program. All are fixed 256-byte UTF-8
// buffers; a builder reports a path that does not fit instead of using a cut one.

#include <cstddef>

#include "common/bounded_string.h"

constexpr std::size_t INSTALL_PATH_CAPACITY = 256;
using InstallPath = BoundedString<char, INSTALL_PATH_CAPACITY>;

constexpr char DESTINATION_SUFFIX[] = "\\Orvinta";
constexpr wchar_t DESTINATION_SUFFIX_W[] = L"\\Orvinta";
constexpr char ENTRY_SEPARATOR[] = "\\";
constexpr char PROGRAM_SUFFIX[] = "\\orvinta.exe";
constexpr wchar_t PROGRAM_COMMAND_LINE[] = L"orvinta.exe /install";

enum DestinationStatus {
  DESTINATION_OK,
  DESTINATION_UNKNOWN,   // the Program Files folder could not be determined
  DESTINATION_TOO_LONG,  // the folder with its suffix does not fit the path buffer
};

// Program Files + "\Orvinta". An empty folder would put the destination at the root of
// the current drive, so it is refused; out then holds the bare suffix for the message.
// When the result is too long, out holds the part that fits (for the message only).
DestinationStatus install_build_destination(const char* program_files, InstallPath& out);

// destination + "\" + name, the name as stored; false when it does not fit (out cut).
bool install_build_entry_path(const char* destination, const char* name, InstallPath& out);

// destination + "\orvinta.exe"; false when it does not fit.
bool install_build_program_path(const char* destination, InstallPath& out);
