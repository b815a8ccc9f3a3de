#pragma once
// Precise reasons for what the installer's reader only reports as -1: why an entry did
// not extract, why no archive was found, and whether the walk stopped at a damaged header.

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/archive_walk.h"

// Length and CRC-32 of what a stream holds, read from its start; false on a read error.
bool sink_measure(FILE* sink, std::uint64_t* length, std::uint32_t* crc);

// Why zip_extract failed for the current entry, given what it wrote into sink.
std::string entry_failure_reason(const ArchiveWalk* walk, FILE* sink);

// Checks of an entry that zip_extract accepted: stored data against the header's CRC-32
// and sizes (the reader checks neither), decoded size of Deflate entries. Empty when fine.
std::string entry_content_problem(const ZipEntryInfo& info, std::uint64_t length, std::uint32_t crc);

// File offset of the first occurrence of the scrambled first-header pattern (the bytes
// the installer's scan looks for), or -1. Reads the file from its start.
std::int64_t find_scan_pattern(const char* path, std::string* error);

// Looks at the bytes where the walk stopped: the end of the file, the central directory
// and its end record are a clean end; a local header signature there means a damaged
// header that hides every entry behind it. Empty when the end is clean.
std::string walk_end_problem(const char* path, std::int64_t end_offset, std::int64_t file_size);
