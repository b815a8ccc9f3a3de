#pragma once
// The heap for the benchmarks' decoders, with the bytes live at once counted: each block
// carries its size in front, in a prefix that keeps malloc's alignment. Plain functions,
// so they fit AllocateFn and ReleaseFn; the counts are process-wide.

#include <cstddef>
#include <cstdlib>
#include <cstring>

inline std::size_t bench_live_bytes = 0;
inline std::size_t bench_peak_bytes = 0;

constexpr std::size_t BENCH_SIZE_PREFIX = alignof(std::max_align_t);
static_assert(BENCH_SIZE_PREFIX >= sizeof(std::size_t), "the prefix holds the size");

inline void* bench_allocate(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + BENCH_SIZE_PREFIX));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  bench_live_bytes += size;
  if (bench_live_bytes > bench_peak_bytes) bench_peak_bytes = bench_live_bytes;
  return block + BENCH_SIZE_PREFIX;
}

inline void bench_release(void* block) {
  if (block == nullptr) return;
  unsigned char* start = static_cast<unsigned char*>(block) - BENCH_SIZE_PREFIX;
  std::size_t size;
  std::memcpy(&size, start, sizeof size);
  bench_live_bytes -= size;
  std::free(start);
}
