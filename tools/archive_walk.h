#pragma once
// Walks an installer's archive the way the installer does: zip_open with the scan from
// offset 0, then zip_get_info / zip_next until the reader stops. Keeps what the reader
// does not hand out: every local header's file offset and where the walk ended.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "archive/zip_reader.h"

struct ArchiveWalk {
  ZipReader* reader;
  ZipEntryInfo info;             // the current entry
  std::int64_t header_offset;    // file offset of the current local header
  std::int64_t file_size;
  std::uint32_t index;           // 0 for the first entry
  std::int64_t end_offset;       // where the walk stopped: the header zip_next could not read
  char* input_buffer;            // the input stream's buffer, owned here, freed after the stream closes
};

// Opens the file and finds the first entry. False (with a reason) when the installer's
// scan would find no archive in it.
bool walk_open(ArchiveWalk* walk, const char* path, std::string* error);
// File offset of the current entry's data and the offset just behind it (descriptor included).
std::int64_t walk_data_offset(const ArchiveWalk* walk);
std::int64_t walk_entry_end(const ArchiveWalk* walk);
// Moves on; false when the walk has ended (end_offset then says where).
bool walk_next(ArchiveWalk* walk);
void walk_close(ArchiveWalk* walk);

// The method as text: "stored", "deflate" or "method N".
std::string walk_method_text(std::uint16_t method);

// How many bytes of the entry's name the reader keeps (at most ZIP_NAME_CAPACITY - 1),
// and those bytes made printable for a report (name_for_display).
std::size_t walk_name_length(const ZipEntryInfo& info);
std::string walk_name_text(const ZipEntryInfo& info);
