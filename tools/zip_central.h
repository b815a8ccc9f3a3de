#pragma once
// The records that close an archive written by orvinta-pack: the central directory and
// its end record. The installer never reads them; they make the unscrambled archive an
// ordinary ZIP file for other tools, and their signatures end the installer's walk.

#include <cstddef>
#include <cstdint>

#include "archive/zip_format.h"

constexpr std::uint32_t ZIP_CENTRAL_SIGNATURE = 0x02014B50;  // "PK\1\2"
constexpr std::uint32_t ZIP_END_SIGNATURE = 0x06054B50;      // "PK\5\6"
constexpr std::uint32_t ZIP_CENTRAL_HEADER_SIZE = 46;
constexpr std::uint32_t ZIP_END_RECORD_SIZE = 22;
// Version made by: 2.0 on Windows NTFS (host 10), whose file attributes are the MS-DOS ones
// the entries carry and whose names are Unicode. Info-ZIP reads names made on FAT (host 0)
// as the OEM code page even when they are flagged as UTF-8.
constexpr std::uint16_t ZIP_MADE_BY = (10 << 8) | 20;
// The end record counts entries in 16 bits; without ZIP64 no more fit.
constexpr std::uint32_t ZIP_MAX_ENTRIES = 0xFFFF;
// The whole archive must end where the installer's 32-bit offsets still reach.
constexpr std::uint64_t ZIP_MAX_FILE_END = ZIP_OFFSET_MAX;
// Files of 2 GiB or more cannot be entries.
constexpr std::uint64_t ZIP_MAX_ENTRY_SIZE = 0x7FFFFFFF;
// General purpose flag bit 11: the name is UTF-8. Set for names that are not plain ASCII,
// so that ZIP tools show them right; the installer reads names as UTF-8 in any case and
// looks at no flag but encryption and the data descriptor.
constexpr std::uint16_t ZIP_FLAG_UTF8 = 0x0800;
// The end record's comment holds at most this many bytes (a 16-bit length).
constexpr std::size_t ZIP_MAX_COMMENT = 0xFFFF;
