// Terminal-only progress line.

#include "tools/progress.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "tools/interrupt_cleanup.h"

namespace {

constexpr std::uint64_t PROGRESS_INTERVAL_MS = 200;
constexpr double MEGABYTE = 1e6;

std::uint64_t now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace

bool progress_wanted() { return isatty(STDERR_FILENO) == 1; }

void progress_start(Progress* progress, const char* verb, std::uint32_t total_entries,
                    std::uint64_t total_bytes) {
  progress->shown = progress_wanted();
  progress->line_pending = false;
  progress->verb = verb;
  progress->total_entries = total_entries;
  progress->total_bytes = total_bytes;
  progress->start_ms = now_ms();
  progress->last_ms = 0;
}

void progress_step(Progress* progress, std::uint32_t done_entries, std::uint64_t done_bytes) {
  if (!progress->shown) return;
  const std::uint64_t now = now_ms();
  if (progress->line_pending && now - progress->last_ms < PROGRESS_INTERVAL_MS) return;
  progress->last_ms = now;
  const double percent =
      progress->total_bytes == 0 ? 100.0 : 100.0 * static_cast<double>(done_bytes) / progress->total_bytes;
  const double seconds = static_cast<double>(now - progress->start_ms) / 1000.0;
  const double rate = seconds > 0 ? static_cast<double>(done_bytes) / MEGABYTE / seconds : 0.0;
  cleanup_progress_line(true);
  std::fprintf(stderr, "\r\033[K%s %u/%u entries, %.0f%% of %.1f MB, %.1f MB/s", progress->verb,
               static_cast<unsigned>(done_entries), static_cast<unsigned>(progress->total_entries), percent,
               static_cast<double>(progress->total_bytes) / MEGABYTE, rate);
  std::fflush(stderr);
  progress->line_pending = true;
}

void progress_clear(Progress* progress) {
  if (!progress->line_pending) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  progress->line_pending = false;
  cleanup_progress_line(false);
}
