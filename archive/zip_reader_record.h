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

// The layout the interface fixes: the fields in the order of the header on disk, at the
// offsets their widths and natural alignment give (two bytes of padding before crc32).
static_assert(offsetof(ZipEntryInfo, signature) == 0 && offsetof(ZipEntryInfo, version_needed) == 4 &&
                  offsetof(ZipEntryInfo, flags) == 6 && offsetof(ZipEntryInfo, method) == 8,
              "ZipEntryInfo layout: signature, version, flags, method");
static_assert(offsetof(ZipEntryInfo, mod_time) == 10 && offsetof(ZipEntryInfo, mod_date) == 12 &&
                  offsetof(ZipEntryInfo, crc32) == 16 && offsetof(ZipEntryInfo, compressed_size) == 20,
              "ZipEntryInfo layout: time, date, CRC-32, compressed size");
static_assert(offsetof(ZipEntryInfo, uncompressed_size) == 24 && offsetof(ZipEntryInfo, name_length) == 28 &&
                  offsetof(ZipEntryInfo, extra_length) == 30 && offsetof(ZipEntryInfo, name) == 32,
              "ZipEntryInfo layout: uncompressed size, name and extra lengths, name");
static_assert(sizeof(ZipEntryInfo) == 288 && sizeof(ZipEntryInfo::name) == ZIP_NAME_CAPACITY,
              "ZipEntryInfo layout: 32 bytes of fields and the 256-byte name buffer");
// The parsed header adds nothing to the record it derives from.
static_assert(sizeof(ZipLocalHeader) == sizeof(ZipEntryInfo), "ZipLocalHeader is ZipEntryInfo");

// Reads and parses the local header at header_offset into reader->header; the outcome
// is told by reader->status alone (set to -1 on failure, unchanged on success).
void zip_read_header(ZipReader* reader, std::int32_t header_offset);

// The decoder's output callback during a Deflate extraction; user_data is the ZipReader.
int zip_write_output(void* user_data, const unsigned char* bytes, std::uint32_t count);

// Thin adapters over the standard heap, handed to the decoder and the CRC table.
void* zip_allocate(std::size_t size);
void zip_release(void* block);
