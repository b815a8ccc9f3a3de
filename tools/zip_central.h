#pragma once
// The records that close an archive written by orvinta-pack: the central directory and
// its end record. The installer never reads them; they make the unscrambled archive an
// ordinary ZIP file for other tools, and their signatures end the installer's walk.

#include <cstdint>

#include "archive/zip_format.h"

constexpr std::uint32_t ZIP_CENTRAL_SIGNATURE = 0x02014B50;  // "PK\1\2"
constexpr std::uint32_t ZIP_END_SIGNATURE = 0x06054B50;      // "PK\5\6"
constexpr std::uint32_t ZIP_CENTRAL_HEADER_SIZE = 46;
constexpr std::uint32_t ZIP_END_RECORD_SIZE = 22;
// Version made by: 2.0 on MS-DOS/FAT, the host whose attribute model the entries follow.
constexpr std::uint16_t ZIP_MADE_BY = 20;
// The end record counts entries in 16 bits; without ZIP64 no more fit.
constexpr std::uint32_t ZIP_MAX_ENTRIES = 0xFFFF;
// The whole archive must end where the installer's 32-bit offsets still reach.
constexpr std::uint64_t ZIP_MAX_FILE_END = ZIP_OFFSET_MAX;
// Files of 2 GiB or more cannot be entries.
constexpr std::uint64_t ZIP_MAX_ENTRY_SIZE = 0x7FFFFFFF;
