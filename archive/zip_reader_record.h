#pragma once
// The archive handle behind the opaque ZipReader of zip_reader.h, shared by the walk
// (zip_reader.cpp), the extraction (zip_extract.cpp) and named member access.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "archive/zip_reader.h"
#include "decode/crc32.h"
#include "decode/inflater.h"

struct ZipReader {
  std::int32_t status;        // 0 while healthy; -1 latched by the first failure
  std::uint32_t scrambled;    // nonzero: every byte read from input is XORed with ZIP_KEY
  std::int32_t header_offset; // file offset of the current local header
  std::int32_t data_offset;   // file offset of the current entry's data
  ZipLocalHeader header;      // the current entry
  FILE* input;                // owned from zip_open on, closed by zip_close
  // Fields of the extraction under way (zip_extract); nothing else reads them.
  FILE* output;               // borrowed from the caller, never closed here
  std::uint32_t compressed_read;
  std::uint32_t written;
  Inflater* decoder;
  CrcTable* crc_table;
  std::uint32_t crc;          // running CRC-32 of the decoded bytes, no final inversion
};

// The parsed header and the record handed out must stay field-for-field alike:
// zip_get_info copies one into the other.
static_assert(offsetof(ZipLocalHeader, signature) == 0, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, version_needed) == 4, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, flags) == 6, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, method) == 8, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, mod_time) == 10, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, mod_date) == 12, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, crc32) == 16, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, compressed_size) == 20, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, uncompressed_size) == 24, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, name_length) == 28, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, extra_length) == 30, "ZipLocalHeader layout");
static_assert(offsetof(ZipLocalHeader, name) == 32, "ZipLocalHeader layout");
static_assert(sizeof(ZipLocalHeader) == 288, "ZipLocalHeader layout");
static_assert(sizeof(ZipLocalHeader::name) == ZIP_NAME_CAPACITY, "name buffer of 256 bytes");

static_assert(offsetof(ZipEntryInfo, signature) == offsetof(ZipLocalHeader, signature), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, version_needed) == offsetof(ZipLocalHeader, version_needed), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, flags) == offsetof(ZipLocalHeader, flags), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, method) == offsetof(ZipLocalHeader, method), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, mod_time) == offsetof(ZipLocalHeader, mod_time), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, mod_date) == offsetof(ZipLocalHeader, mod_date), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, crc32) == offsetof(ZipLocalHeader, crc32), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, compressed_size) == offsetof(ZipLocalHeader, compressed_size), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, uncompressed_size) == offsetof(ZipLocalHeader, uncompressed_size), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, name_length) == offsetof(ZipLocalHeader, name_length), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, extra_length) == offsetof(ZipLocalHeader, extra_length), "ZipEntryInfo layout");
static_assert(offsetof(ZipEntryInfo, name) == offsetof(ZipLocalHeader, name), "ZipEntryInfo layout");
static_assert(sizeof(ZipEntryInfo) == sizeof(ZipLocalHeader), "ZipEntryInfo layout");

// Reads and parses the local header at header_offset into reader->header; the outcome
// is told by reader->status alone (set to -1 on failure, unchanged on success).
void zip_read_header(ZipReader* reader, std::int32_t header_offset);

// The decoder's output callback during a Deflate extraction; user_data is the ZipReader.
int zip_write_output(void* user_data, const unsigned char* bytes, std::uint32_t count);

// Thin adapters over the standard heap, handed to the decoder and the CRC table.
void* zip_allocate(std::size_t size);
void zip_release(void* block);
