#pragma once
// Reader of the scrambled ZIP entries embedded in a host file: finds the first local
// header by a signature scan and walks the entries front to back by the sizes in
// their local headers. No central directory is read.

#include <cstdint>
#include <cstdio>

#include "archive/zip_format.h"

// What zip_get_info hands out: the fields of a local file header in their order on
// disk, and the whole name buffer. The field order and widths are part of the interface.
struct ZipEntryInfo {
  std::uint32_t signature;
  std::uint16_t version_needed;
  std::uint16_t flags;
  std::uint16_t method;
  std::uint16_t mod_time;
  std::uint16_t mod_date;
  std::uint32_t crc32;
  std::uint32_t compressed_size;
  std::uint32_t uncompressed_size;
  std::uint16_t name_length;
  std::uint16_t extra_length;
  char name[ZIP_NAME_CAPACITY];  // zero-padded, so always zero-terminated
};

// The parsed header that the reader keeps for the current entry: the same record, so a
// field added to one is in the other, and zip_get_info is a plain copy.
struct ZipLocalHeader : ZipEntryInfo {};

// The offset rule of the walk, shared by everything that follows it through a file.
// Both are formed in 64 bits; whoever stores the result in 32 bits checks it against
// ZIP_OFFSET_MAX first.
//
// Where an entry's data begins: behind its 30-byte header, its name and its extra field.
constexpr std::int64_t zip_data_offset(std::int64_t header_offset, const ZipEntryInfo& header) {
  return header_offset + ZIP_LOCAL_HEADER_SIZE + header.name_length + header.extra_length;
}

// Where the next local header begins: behind the entry's data and, with flag bit 3, the
// 16-byte data descriptor (which is skipped, never read).
constexpr std::int64_t zip_next_header_offset(std::int64_t data_offset, const ZipEntryInfo& header) {
  return data_offset + header.compressed_size +
         ((header.flags & ZIP_FLAG_DESCRIPTOR) != 0 ? ZIP_DESCRIPTOR_SIZE : 0);
}

struct ZipReader;

// Takes ownership of input in every case (closes it when the open fails).
// offset: nullptr = unscrambled, header at offset 0 or 1; *offset == 0 = scrambled, same;
// *offset < 0 = scrambled, scan from 0; *offset > 0 = scrambled, scan from *offset.
// On success *offset receives the file offset of the first local header.
ZipReader* zip_open(FILE* input, std::int32_t* offset);
int zip_get_info(ZipReader* reader, ZipEntryInfo* info);
int zip_next(ZipReader* reader);
int zip_close(ZipReader* reader);
int zip_extract(ZipReader* reader, FILE* output);

#ifdef _WIN32
FILE* zip_extract_member_to_temp(const char* combined_path, std::int32_t* offset);
int zip_member_exists(const char* combined_path, std::int32_t* offset);
#endif
