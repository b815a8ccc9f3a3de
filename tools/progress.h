#pragma once
// One status line on stderr, rewritten in place, for work over many files. Shown only
// when stderr is a terminal, so logs and pipes stay quiet.

#include <cstdint>

struct Progress {
  bool shown;          // stderr is a terminal
  bool line_pending;   // a status line is on screen and needs clearing
  const char* verb;    // "packing", "verifying", "extracting"
  std::uint64_t last_ms;
};

void progress_start(Progress* progress, const char* verb);
// Shows "<verb> <index>: <name>" at most a few times a second.
void progress_step(Progress* progress, std::uint32_t index, const char* name);
// Clears the line before other output and at the end.
void progress_clear(Progress* progress);
