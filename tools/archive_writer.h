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
  std::uint16_t method;
  DosDateTime modified;
  std::uint32_t crc32;
  std::uint32_t compressed_size;
  std::uint32_t uncompressed_size;
  std::uint32_t header_offset;  // from the start of the archive
};

struct ArchiveWriter {
  int fd;                            // the output file, positioned at file_offset
  std::uint64_t file_offset;         // bytes written to the file so far
  std::uint64_t archive_start;       // file offset of the first local header
  libdeflate_compressor* compressor; // nullptr: every entry is stored
  std::vector<unsigned char> buffer; // scrambling and compression scratch
  std::vector<WrittenEntry> entries;
  std::string error;                 // why the last call failed
};

// level: 0 stores every entry, 1-12 Deflate with libdeflate at that level.
bool writer_start(ArchiveWriter* writer, int fd, std::uint64_t stub_size, int level);
// Appends one entry; Deflate unless that does not make the data smaller.
bool writer_add(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                const unsigned char* data, std::size_t size);
// One file's entry as it will be written, made away from the writer (on a worker thread):
// its checksum, its method and the bytes it holds.
struct PackedEntry {
  std::uint16_t method;                // ZIP_METHOD_STORED or ZIP_METHOD_DEFLATE
  std::uint32_t crc32;                 // of the file's data
  std::uint32_t uncompressed_size;
  std::vector<unsigned char> payload;  // the data itself, or its Deflate stream
};

// Takes over the file's data and packs it as writer_add would: Deflate with the given
// compressor (nullptr: stored) unless that does not make it smaller. Distinct compressors
// may be used on different threads at once.
bool entry_pack(libdeflate_compressor* compressor, std::vector<unsigned char>* data,
                PackedEntry* packed, std::string* error);
// Appends an entry made by entry_pack.
bool writer_add_packed(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                       const PackedEntry& packed);
// The same for an entry whose payload was set aside in a file (packed.payload unused): size
// bytes at offset of fd, copied through in blocks.
bool writer_add_packed_from(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                            const PackedEntry& packed, int fd, std::uint64_t offset, std::uint64_t size);
// Appends the central directory and the end record.
bool writer_finish(ArchiveWriter* writer);
void writer_release(ArchiveWriter* writer);
