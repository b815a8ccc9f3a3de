#pragma once
// The decoder record shared by the inflater and the Huffman handlers. Opaque to users of
// decode/inflater.h; the layout is fixed so that a stray pointer is caught by the guards.

#include <cstddef>
#include <cstdint>

#include "decode/handler_result.h"
#include "decode/huffman.h"
#include "decode/inflater.h"

constexpr std::uint32_t INFLATER_GUARD = 0xABCDABCDu;

constexpr std::uint32_t RING_SIZE = 0x4000;  // input ring, a power of two
constexpr std::uint32_t RING_MASK = RING_SIZE - 1;
constexpr std::uint32_t WINDOW_SIZE = 0x8000;  // output window and back-reference history
constexpr std::uint32_t WINDOW_MASK = WINDOW_SIZE - 1;

// State codes of the block state machine. The header states are the values of BTYPE;
// the data state of a block is its header state plus 10.
constexpr std::int32_t BLOCK_HEADER = -1;
constexpr std::int32_t STORED_HEADER = 0;
constexpr std::int32_t FIXED_HEADER = 1;
constexpr std::int32_t DYNAMIC_HEADER = 2;
constexpr std::int32_t STORED_COPY = 10;
constexpr std::int32_t FIXED_DATA = 11;
constexpr std::int32_t DYNAMIC_DATA = 12;

struct Inflater {
  std::uint32_t guard_head;
  std::int32_t error;  // latch: 0 until the first failure, then 1 for good
  std::int32_t state;
  HuffmanEntry* literal_table;   // held in FIXED_DATA and DYNAMIC_DATA only
  HuffmanEntry* distance_table;  // likewise; none for a block without distance codes
  std::uint32_t literal_bits;
  std::uint32_t distance_bits;
  std::uint32_t stored_left;
  std::int32_t last_block;
  std::uint32_t bit_buffer;  // at most 32 bits; the next stream bit is bit 0
  std::uint32_t bit_count;
  std::uint32_t ring_read;   // running count; only the low 14 bits index the ring
  std::uint32_t ring_count;  // unread bytes in the ring
  unsigned char ring[RING_SIZE];
  std::uint32_t saved_bit_buffer;
  std::uint32_t saved_bit_count;
  std::uint32_t saved_ring_read;
  std::uint32_t saved_ring_count;
  std::uint32_t window_pos;  // next decoded byte goes here, 0..WINDOW_SIZE
  std::uint32_t flush_pos;   // first byte not yet handed to the callback
  unsigned char window[WINDOW_SIZE];
  void* user_data;
  InflaterOutputFn output_callback;
  AllocateFn allocate;
  ReleaseFn release;
  // Set once the window has been filled and delivered: from then on every one of its
  // bytes is real history. Before that, only window[0, window_pos) has been written, and
  // a back-reference further than window_pos is refused instead of copying unset memory.
  std::int32_t window_filled;
  // The fast loop's tables (decode/huffman_fast.h): one block holding the literal/length
  // table, then the distance table, allocated for the record's first Huffman block,
  // filled anew for each one, released by inflater_finish.
  std::uint32_t* fast_tables;
  std::uint32_t guard_tail;
};

static_assert(offsetof(Inflater, guard_head) == 0, "the head guard opens the record");
static_assert(offsetof(Inflater, ring) + RING_SIZE <= offsetof(Inflater, saved_bit_buffer),
              "the ring lies whole inside the record");
static_assert(offsetof(Inflater, window) + WINDOW_SIZE <= offsetof(Inflater, user_data),
              "the window lies whole inside the record");
static_assert(sizeof(Inflater) - offsetof(Inflater, guard_tail) < sizeof(std::uint32_t) + alignof(Inflater),
              "only padding follows the tail guard");
static_assert(sizeof(Inflater) < RING_SIZE + WINDOW_SIZE + 256, "the record stays near its two buffers");

// Hands window[flush_pos, window_pos) to the callback. A full window restarts at 0.
// A refusal latches the error and leaves both positions where they were.
inline HandlerResult inflater_deliver(Inflater* f) {
  const int refused =
      f->output_callback(f->user_data, f->window + f->flush_pos, f->window_pos - f->flush_pos);
  if (refused != 0) {
    f->error = 1;
    return HANDLER_FAILED;
  }
  if (f->window_pos == WINDOW_SIZE) f->window_filled = 1;
  f->window_pos &= WINDOW_MASK;
  f->flush_pos = f->window_pos;
  return HANDLER_DONE;
}

// Whether a back-reference of this distance stays within bytes already decoded.
inline bool inflater_distance_ok(const Inflater* f, std::uint32_t window_pos, std::uint32_t distance) {
  return f->window_filled != 0 || distance <= window_pos;
}
