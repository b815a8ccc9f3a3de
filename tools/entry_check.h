#pragma once
// Precise reasons for what the installer's reader only reports as -1: why an entry did
// not extract, why no archive was found, and whether the walk stopped at a damaged header.

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/archive_walk.h"

// Length and CRC-32 of what a stream holds, read from its start; false on a read error.
bool sink_measure(FILE* sink, std::uint64_t* length, std::uint32_t* crc);

// Extracts the current entry into output with the installer's own zip_extract. False
// with the reason when that fails: a write that failed as "cannot write <target>: " and
// the system's reason ("No space left on device"), anything else as
// entry_failure_reason tells it.
bool entry_extract(ArchiveWalk* walk, FILE* output, const char* target, std::string* problem);

// Why zip_extract failed for the current entry, given what it wrote into sink.
std::string entry_failure_reason(const ArchiveWalk* walk, FILE* sink);

// Checks of an entry that zip_extract accepted: stored data against the header's CRC-32
// and sizes (the reader checks neither), decoded size of Deflate entries. Empty when fine.
std::string entry_content_problem(const ZipEntryInfo& info, std::uint64_t length, std::uint32_t crc);

// Whether the Deflate data of an entry that zip_extract accepted goes on after the end
// of its final block: size bytes at offset in input, scrambled as the installer reads
// them, decoding to at most uncompressed_size bytes. Empty when the data ends with the
// stream, else the problem. The decoder tells input left over only within the push
// that ended the stream, so the installer's reading misses bytes that begin exactly at
// one of its 8192-byte chunk boundaries; this reading moves the boundaries by half a
// chunk, and no end lies on a boundary of both.
std::string deflate_tail_problem(FILE* input, std::int64_t offset, std::uint32_t size,
                                 std::uint32_t uncompressed_size);

// File offset of the first occurrence of the scrambled first-header pattern (the bytes
// the installer's scan looks for), or -1. Reads the file from its start.
std::int64_t find_scan_pattern(const char* path, std::string* error);

// The number of entries and their stored bytes, from a walk over the headers alone
// (for the totals of a progress line); zeros when the file holds no archive.
void entry_totals(const char* path, std::uint32_t* entries, std::uint64_t* stored_bytes);

// How the archive ends behind the entries the walk found.
struct ArchiveEnd {
  std::string problem;       // empty when the walk ended at a clean end of the archive
  bool central_directory;    // a complete central directory and end record follow the entries
  std::uint32_t central_entries;
  bool has_comment;
  std::string comment;       // the end record's comment, unscrambled (raw bytes)
};

// Looks at what follows the last entry. Clean ends: the end of the archive region itself
// (limit: the file's size, or the certificate table's offset in a signed file), or a
// central directory whose records and end record run exactly to that limit (a signed
// file pads to 8 bytes with zeros in front of its table) and count walked_entries. Anything
// else is a damaged or cut installer: a local header that does not parse (it hides every
// entry behind it), an entry running past the file, bytes that are neither.
ArchiveEnd archive_end_check(const char* path, std::int64_t end_offset, std::int64_t file_size,
                             std::int64_t limit, std::uint32_t walked_entries);
