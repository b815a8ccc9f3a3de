#pragma once
// Packing on several cores. Worker threads read and compress the files N at a time, each
// with a compressor of its own; the calling thread appends the finished entries strictly
// in the given order, so the archive is the same bytes for every N. A file is read whole,
// and a worker takes the next file only while fewer than N are between being read and
// being written: at most N files, with their compressed forms, are in memory at once.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/archive_writer.h"
#include "tools/dos_time.h"
#include "tools/progress.h"

struct PackSource {
  std::string path;      // where the file is read from
  std::string name;      // the entry's name
  DosDateTime modified;  // the entry's time
};

struct ParallelStats {
  std::uint32_t threads;     // worker threads that ran
  std::uint64_t peak_bytes;  // most file and compressed bytes held at one moment
};

constexpr std::uint32_t PARALLEL_JOBS_MAX = 256;

// The processors this process may run on, at least 1: the default number of jobs.
std::uint32_t parallel_default_jobs();

// Appends one entry per source to the started writer, in order, compressing at level
// (0-12) with up to jobs files at a time. On failure writer->error names the first entry,
// in order, that could not be read or written; nothing behind it is written.
bool parallel_pack(ArchiveWriter* writer, int level, const std::vector<PackSource>& sources,
                   std::uint32_t jobs, Progress* progress, ParallelStats* stats);
