#pragma once
// Writes the installer's archive behind a stub: scrambled local entries, then a
// scrambled central directory and end record. Offsets in the central directory count
// from the first local header, so the archive region alone, unscrambled, is a ZIP file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/dos_time.h"

struct libdeflate_compressor;

// What the central directory repeats of every entry.
struct WrittenEntry {
  std::string name;
  std::uint16_t flags;
  std::uint16_t method;
  DosDateTime modified;
  std::uint32_t crc32;
  std::uint32_t compressed_size;
  std::uint32_t uncompressed_size;
  std::uint32_t header_offset;  // from the start of the archive
};

// One file made ready for the archive: its CRC-32 and, when Deflate makes it smaller,
// the compressed bytes. Made apart from the writing, so that files can be compressed on
// their own (each with a compressor of its own) and written in order afterwards.
struct PackedData {
  std::uint16_t method;
  std::uint32_t crc32;
  std::vector<unsigned char> deflated;  // the entry data when method is Deflate
};

struct ArchiveWriter {
  int fd;                            // the output file, positioned at file_offset
  std::uint64_t file_offset;         // bytes written to the file so far
  std::uint64_t archive_start;       // file offset of the first local header
  libdeflate_compressor* compressor; // nullptr: every entry is stored
  std::vector<WrittenEntry> entries;
  std::string error;                 // why the last call failed
  std::string output_name;           // the file named in write errors; "the output" when empty
};

// level: 0 stores every entry, 1-12 Deflate with libdeflate at that level.
bool writer_start(ArchiveWriter* writer, int fd, std::uint64_t stub_size, int level);
// Compresses data with compressor (nullptr: stored); Deflate unless that does not make
// the data smaller.
void writer_pack(libdeflate_compressor* compressor, const unsigned char* data, std::size_t size,
                 PackedData* packed);
// Appends one entry of data made ready by writer_pack.
bool writer_add_packed(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                       const unsigned char* data, std::size_t size, const PackedData& packed);
// The same for an entry whose payload was set aside in a file: payload_size bytes at
// offset of fd, copied through in blocks (packed.deflated is not used).
bool writer_add_packed_from(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                            std::size_t size, const PackedData& packed, int fd, std::uint64_t offset,
                            std::uint64_t payload_size);
// Both in one, with the writer's compressor.
bool writer_add(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                const unsigned char* data, std::size_t size);
// Appends the central directory and the end record with the archive comment (at most
// ZIP_MAX_COMMENT bytes), which ZIP tools show and the installer never reads.
bool writer_finish(ArchiveWriter* writer, const std::string& comment);
void writer_release(ArchiveWriter* writer);
