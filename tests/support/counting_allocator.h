#pragma once
// Allocate/release functions for tests, with counters, and an optional failure at the
// n-th allocation. Plain functions, so they fit AllocateFn and ReleaseFn; the counters
// are process-wide, so counting_reset() starts every test from zero.

#include <cstddef>
#include <cstdint>

void counting_reset();
// The n-th allocation from now on (1 = the next one) returns none; 0 = never fail.
void counting_fail_at(std::uint64_t n);
// From the n-th allocation on, every allocation fails (0 = never).
void counting_fail_from(std::uint64_t n);

void* counting_allocate(std::size_t size);
void counting_release(void* block);

std::uint64_t counting_attempts();      // calls of counting_allocate since the reset
std::uint64_t counting_allocations();   // successful ones
std::uint64_t counting_releases();
std::uint64_t counting_live_blocks();
std::size_t counting_live_bytes();
std::size_t counting_peak_bytes();
std::uint64_t counting_bad_releases();  // blocks released that this allocator never gave out
