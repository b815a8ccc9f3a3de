#pragma once
// Decoding entries on several cores for extract. Worker threads each open the archive
// for themselves and run the installer's extraction of one entry at a time into an
// anonymous in-memory file; the calling thread takes the results strictly in archive
// order and alone touches the destination folder, so files, messages and the entry a
// failure names are those of the one-thread extraction.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/archive_walk.h"

// What a worker made of one entry.
struct DecodedEntry {
  int fd;               // the decoded bytes from offset 0, or -1
  bool in_folder;       // fd is an unnamed file in the destination folder, else in memory
  std::uint64_t length; // how many
  std::string problem;  // why the extraction failed, as the one-thread extraction says it
};

struct DecodePool;

// Starts jobs worker threads reading the archive at path, which must still be the file
// of that device and inode. They decode into unnamed files in the folder of folder_fd
// (O_TMPFILE; gone unless linked), or into memory where the folder's filesystem has no
// unnamed files. Nullptr (with a reason) when no thread could be started.
DecodePool* decode_pool_start(const char* path, dev_t device, ino_t inode, std::int64_t file_size,
                              int folder_fd, std::uint32_t jobs, std::string* error);
// Queues the walk's current entry (its header, offsets and index; not its reader).
void decode_pool_submit(DecodePool* pool, const ArchiveWalk& walk);
// Waits for the queued entry of that index and hands its result over (fd then the
// caller's to close).
DecodedEntry decode_pool_take(DecodePool* pool, std::uint32_t index);
// Stops the workers (an entry under way is finished first), joins them and closes every
// result not taken.
void decode_pool_stop(DecodePool* pool);

// A reader positioned at the local header at header_offset of the archive at path,
// which must be the file of that device and inode, and which must hold there the header
// expected; nullptr (with a reason) otherwise. Its stream reads through buffer, which
// must outlive it. Closed with zip_close.
ZipReader* reader_open_at(const char* path, dev_t device, ino_t inode, std::int64_t header_offset,
                          const ZipEntryInfo& expected, std::vector<char>* buffer, std::string* problem);
