#pragma once
// One status line on stderr, rewritten in place, for work over many files: entries done
// of all, the share of the bytes and the rate. Shown only when stderr is a terminal, so
// logs and pipes stay quiet; an interrupt clears it (tools/interrupt_cleanup.h).

#include <cstdint>

struct Progress {
  bool shown;          // stderr is a terminal
  bool line_pending;   // a status line is on screen and needs clearing
  const char* verb;    // "packing", "verifying", "extracting"
  std::uint32_t total_entries;
  std::uint64_t total_bytes;
  std::uint64_t start_ms;
  std::uint64_t last_ms;
};

// Whether a line would be shown at all: callers skip work done only for the totals.
bool progress_wanted();

void progress_start(Progress* progress, const char* verb, std::uint32_t total_entries,
                    std::uint64_t total_bytes);
// Shows "<verb> 3/8 entries, 42% of 50.0 MB, 12.3 MB/s" at most a few times a second.
void progress_step(Progress* progress, std::uint32_t done_entries, std::uint64_t done_bytes);
// Clears the line before other output and at the end.
void progress_clear(Progress* progress);
