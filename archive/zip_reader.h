#pragma once
// Reader of the scrambled ZIP entries embedded in a host file: finds the first local
// header by a signature scan and walks the entries front to back by the sizes in
// their local headers. No central directory is read.

#include <cstdint>
#include <cstdio>

#include "archive/zip_format.h"

// A parsed local file header, fields in the order of the header on disk.
struct ZipLocalHeader {
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

// What zip_get_info hands out: the same twelve fields, the whole name buffer included.
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
  char name[ZIP_NAME_CAPACITY];
};

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
