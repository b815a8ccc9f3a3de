// Terminal-only progress line.

#include "tools/progress.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr std::uint64_t PROGRESS_INTERVAL_MS = 200;
constexpr int PROGRESS_NAME_WIDTH = 60;

std::uint64_t now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace

void progress_start(Progress* progress, const char* verb) {
  progress->shown = isatty(STDERR_FILENO) == 1;
  progress->line_pending = false;
  progress->verb = verb;
  progress->last_ms = 0;
}

void progress_step(Progress* progress, std::uint32_t index, const char* name) {
  if (!progress->shown) return;
  const std::uint64_t now = now_ms();
  if (progress->line_pending && now - progress->last_ms < PROGRESS_INTERVAL_MS) return;
  progress->last_ms = now;
  std::fprintf(stderr, "\r\033[K%s %u: %.*s", progress->verb, static_cast<unsigned>(index + 1),
               PROGRESS_NAME_WIDTH, name);
  std::fflush(stderr);
  progress->line_pending = true;
}

void progress_clear(Progress* progress) {
  if (!progress->line_pending) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  progress->line_pending = false;
}
