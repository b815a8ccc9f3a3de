#include "tests/support/counting_allocator.h"

#include <cstdlib>
#include <cstring>

namespace {

// Each block carries its size and a mark in front of the caller's part, padded so the
// caller's part keeps the alignment of malloc.
constexpr std::uint64_t LIVE_MARK = 0x4C495645424C4B31ull;
constexpr std::uint64_t DEAD_MARK = 0x44454144424C4B31ull;
struct alignas(alignof(std::max_align_t)) BlockHead {
  std::uint64_t mark;
  std::size_t size;
};

std::uint64_t attempts = 0;
std::uint64_t allocations = 0;
std::uint64_t releases = 0;
std::uint64_t bad_releases = 0;
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;
std::uint64_t fail_at = 0;
std::uint64_t fail_from = 0;

}  // namespace

void counting_reset() {
  attempts = allocations = releases = bad_releases = 0;
  live_bytes = peak_bytes = 0;
  fail_at = fail_from = 0;
}

void counting_fail_at(std::uint64_t n) { fail_at = n == 0 ? 0 : attempts + n; }
void counting_fail_from(std::uint64_t n) { fail_from = n == 0 ? 0 : attempts + n; }

void* counting_allocate(std::size_t size) {
  ++attempts;
  if (attempts == fail_at || (fail_from != 0 && attempts >= fail_from)) return nullptr;
  auto* head = static_cast<BlockHead*>(std::malloc(sizeof(BlockHead) + size));
  if (head == nullptr) return nullptr;
  head->mark = LIVE_MARK;
  head->size = size;
  ++allocations;
  live_bytes += size;
  if (live_bytes > peak_bytes) peak_bytes = live_bytes;
  // Fresh blocks hold junk, as the heap's would, so that reads of unset memory show.
  std::memset(head + 1, 0xA5, size);
  return head + 1;
}

void counting_release(void* block) {
  if (block == nullptr) return;
  BlockHead* head = static_cast<BlockHead*>(block) - 1;
  if (head->mark != LIVE_MARK) {
    ++bad_releases;
    return;
  }
  head->mark = DEAD_MARK;
  ++releases;
  live_bytes -= head->size;
  std::free(head);
}

std::uint64_t counting_attempts() { return attempts; }
std::uint64_t counting_allocations() { return allocations; }
std::uint64_t counting_releases() { return releases; }
std::uint64_t counting_live_blocks() { return allocations - releases; }
std::size_t counting_live_bytes() { return live_bytes; }
std::size_t counting_peak_bytes() { return peak_bytes; }
std::uint64_t counting_bad_releases() { return bad_releases; }
