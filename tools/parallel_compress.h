#pragma once
// Packing on several cores. Worker threads read and compress the files N at a time, each
// with a compressor of its own; the calling thread appends the finished entries strictly
// in the given order, so the archive is the same bytes for every N. A file is read whole,
// and at most N files, with their compressed forms, are in memory at once: a worker that
// finishes a file ahead of its turn sets its compressed form aside in an unnamed scratch
// file and goes on with the next one, so that a large file does not hold up the others.

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
  std::uint32_t threads;      // worker threads that ran
  std::uint64_t peak_bytes;   // most file and compressed bytes held at one moment
  std::uint32_t set_aside;    // entries that went through the scratch file
  std::uint64_t bytes_in;     // the sizes of the files written
};

constexpr std::uint32_t PARALLEL_JOBS_MAX = 256;

// The processors this process may run on, at least 1: the default number of jobs.
std::uint32_t parallel_default_jobs();

// Appends one entry per source to the started writer, in order, compressing at level
// (0-12) with up to jobs files at a time. The scratch file, when needed, is made in
// scratch_folder (the output's folder: the room it needs is at most the archive's).
// On failure writer->error names the first entry, in order, that could not be read or
// written; nothing behind it is written.
bool parallel_pack(ArchiveWriter* writer, int level, const std::vector<PackSource>& sources,
                   std::uint32_t jobs, const std::string& scratch_folder, Progress* progress,
                   ParallelStats* stats);
