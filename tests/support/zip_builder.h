#pragma once
// Builds embedded archives in memory for tests: host bytes in front, local entries
// (stored or deflated), optional data descriptors, a central directory and end record,
// all scrambled with ZIP_KEY unless asked otherwise. Every header field can be
// overridden so that tests can write damaged entries on purpose.
//
//   TestArchive archive;
//   archive.host = zip_test_random_bytes(1000, 7);
//   archive.entries.push_back(zip_test_entry("a.txt", "hello"));
//   archive.entries.push_back(zip_test_entry("b.bin", zip_test_random_bytes(9000, 1), ZIP_METHOD_DEFLATE));
//   BuiltArchive built = zip_build(archive);
//   FILE* input = zip_test_stream(built.bytes);   // handed to zip_open

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_format.h"

using Bytes = std::vector<std::uint8_t>;

struct TestEntry {
  std::string name;
  Bytes data;                                  // the uncompressed content
  std::uint16_t method = ZIP_METHOD_STORED;    // 8: data is deflated by the builder
  std::uint16_t flags = 0;                     // ZIP_FLAG_DESCRIPTOR is added when descriptor is set
  std::uint16_t version_needed = ZIP_SCAN_VERSION;
  std::uint16_t mod_time = 0x6000;
  std::uint16_t mod_date = 0x5A21;
  Bytes extra;                                 // extra field, written as given
  bool descriptor = false;                     // set flag bit 3 and write a 16-byte descriptor
  int level = 6;                               // Deflate level (zlib's scale)

  // Overrides of what the builder would compute; unset means "the correct value".
  std::optional<Bytes> payload;                // entry data as stored (replaces the compressed data)
  std::optional<std::uint32_t> crc32;
  std::optional<std::uint32_t> compressed_size;
  std::optional<std::uint32_t> uncompressed_size;
  std::optional<std::uint16_t> name_length;
  std::optional<std::uint32_t> signature;
};

struct TestArchive {
  Bytes host;                       // bytes in front of the archive, written unscrambled
  std::vector<TestEntry> entries;
  bool scrambled = true;            // XOR every archive byte (not the host bytes) with ZIP_KEY
  bool central_directory = true;    // write a central directory and end record behind the entries
  Bytes trailer;                    // bytes behind everything (unscrambled), e.g. a signature blob
};

struct BuiltArchive {
  Bytes bytes;                              // the whole file
  std::vector<std::uint32_t> header_offsets; // file offset of each local header
  std::vector<std::uint32_t> data_offsets;   // file offset of each entry's data
  std::uint32_t archive_end = 0;             // offset just behind the last entry (and descriptor)
};

BuiltArchive zip_build(const TestArchive& archive);

// A convenience entry: name, content, method.
TestEntry zip_test_entry(const std::string& name, const Bytes& data,
                         std::uint16_t method = ZIP_METHOD_STORED);
TestEntry zip_test_entry(const std::string& name, const std::string& text,
                         std::uint16_t method = ZIP_METHOD_STORED);

// Raw Deflate (no zlib header) from zlib, the tests' reference in every tree, at the
// given level.
Bytes zip_test_deflate(const Bytes& data, int level = 6);
// Raw Deflate as one final fixed-Huffman block of literals, written by the builder itself.
Bytes zip_test_deflate_literals(const Bytes& data);
// Reference CRC-32 of ZIP, computed bit by bit (independent of the table-driven one).
std::uint32_t zip_test_crc32(const Bytes& data);
// Deterministic pseudo-random bytes.
Bytes zip_test_random_bytes(std::size_t count, std::uint32_t seed);
Bytes zip_test_bytes(const std::string& text);
void zip_test_scramble(Bytes& bytes, std::size_t from, std::size_t to);

// A temporary file (tmpfile) holding the bytes, positioned at offset 0; nullptr on failure.
FILE* zip_test_stream(const Bytes& bytes);
// Everything the stream holds, read from offset 0; the position is left at the end.
Bytes zip_test_stream_contents(FILE* stream);
// Whole contents of a named file; empty when it cannot be read.
Bytes zip_test_file_contents(const std::string& path);
bool zip_test_write_file(const std::string& path, const Bytes& bytes);

// A read-only stream over the bytes whose fclose is counted in *closes. Only where the
// C library can build custom streams (glibc); elsewhere it returns nullptr and
// zip_test_counted_streams_supported() is false.
bool zip_test_counted_streams_supported();
FILE* zip_test_counted_stream(const Bytes& bytes, int* closes);
