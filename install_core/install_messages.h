#pragma once
// The installer's only user interface: three message texts under one caption, and the
// process exit codes. Each text and each code is defined here and nowhere else.

#include <cstdint>

#include "common/bounded_string.h"

constexpr char INSTALL_CAPTION[] = "Orvinta Install";

enum InstallMessage : std::uint8_t {
  MESSAGE_ARCHIVE_UNREADABLE = 1,  // the archive behind the executable could not be opened
  MESSAGE_CREATE_FAILED = 2,       // an entry's file (or the destination) cannot be written
  MESSAGE_DATA_CORRUPT = 3,        // an entry's data failed to extract
};

// Indexed by InstallMessage; each format takes exactly one path.
constexpr const char* INSTALL_MESSAGE_FORMATS[4] = {
    nullptr,
    "Error reading %s, installation file corrupted.\nPlease download Orvinta again.",
    "Error creating %s, possibly a file protection problem.\nTry deleting this folder and installing again.",
    "Error reading %s, installation file corrupted.\nPlease download Orvinta again.",
};

// bs_format substitutes one path and nothing else.
static_assert(bs_placeholder_count(INSTALL_MESSAGE_FORMATS[MESSAGE_ARCHIVE_UNREADABLE]) == 1 &&
                  bs_placeholder_count(INSTALL_MESSAGE_FORMATS[MESSAGE_CREATE_FAILED]) == 1 &&
                  bs_placeholder_count(INSTALL_MESSAGE_FORMATS[MESSAGE_DATA_CORRUPT]) == 1,
              "every message format takes exactly one path");

constexpr int INSTALL_EXIT_OK = 0;             // every run that reached the installation
constexpr int INSTALL_EXIT_NOT_INSTALLED = 1;  // relaunch refused, or no destination known

constexpr std::size_t INSTALL_MESSAGE_CAPACITY = 256;
using MessageText = BoundedString<char, INSTALL_MESSAGE_CAPACITY>;

// Composes one message around path. A path too long for the buffer is cut at a UTF-8
// character boundary; false tells that it was cut. A null path counts as empty.
inline bool install_compose_message(InstallMessage message, const char* path, MessageText& out) {
  return bs_format(out, INSTALL_MESSAGE_FORMATS[message], path != nullptr ? path : "");
}
