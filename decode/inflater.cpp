// The push interface of the decoder: the record's life, the input ring, the block state
// machine and the delivery of decoded bytes at the end of each push.

#include <cstdint>
#include <cstring>

#include "decode/bit_reader.h"
#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/huffman_fast.h"
#include "decode/inflater.h"
#include "decode/inflater_record.h"
#include "decode/stored_block.h"

namespace {

constexpr std::uint32_t BTYPE_RESERVED = 3;

// The ring holds every element that a handler reads whole and rolls back when the input
// runs out inside it, so that each handler makes progress once the ring is full: the
// longest is a dynamic header, beside a stored header (alignment, LEN, NLEN) and one
// Huffman-coded symbol (longest length code and extra bits, longest distance code and
// extra bits). The bits of the element already in the bit buffer are not in the ring;
// one byte covers the element's start within its first byte.
constexpr std::uint32_t bits_to_bytes(std::uint32_t bits) { return (bits + 7) / 8 + 1; }
constexpr std::uint32_t LONGEST_WHOLE_ELEMENT_BYTES = bits_to_bytes(LONGEST_DYNAMIC_HEADER_BITS);
static_assert(LONGEST_WHOLE_ELEMENT_BYTES >= bits_to_bytes(7 + 16 + 16), "the dynamic header outgrows a stored header");
static_assert(LONGEST_WHOLE_ELEMENT_BYTES >= bits_to_bytes(2 * MAX_CODE_LENGTH + 5 + OP_MAX_EXTRA),
              "the dynamic header outgrows a symbol");
static_assert(RING_SIZE >= LONGEST_WHOLE_ELEMENT_BYTES, "the ring holds the longest element read whole");

bool guards_hold(const Inflater* f) {
  return f != nullptr && f->guard_head == INFLATER_GUARD && f->guard_tail == INFLATER_GUARD;
}

// BFINAL and BTYPE, read whole or not at all. Sets the next state itself: it depends on
// the type read.
HandlerResult read_block_header(Inflater* f) {
  BitReader b = bits_load(f);
  bits_save(f, b);
  if (!bits_need(f, b, 1)) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  const std::uint32_t final_block = bits_take(b, 1);
  if (!bits_need(f, b, 2)) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  const std::uint32_t type = bits_take(b, 2);
  if (type == BTYPE_RESERVED) return HANDLER_FAILED;
  bits_store(f, b);
  f->state = static_cast<std::int32_t>(type);
  f->last_block = static_cast<std::int32_t>(final_block);
  return HANDLER_DONE;
}

void release_block_tables(Inflater* f) {
  huffman_free_table(f, f->literal_table);
  huffman_free_table(f, f->distance_table);
  f->literal_table = nullptr;
  f->distance_table = nullptr;
}

// The data of a Huffman block; at its end the block's tables go.
HandlerResult decode_block_data(Inflater* f) {
  const HandlerResult r =
      decode_huffman_data(f, f->literal_table, f->distance_table, f->literal_bits, f->distance_bits);
  if (r == HANDLER_DONE) release_block_tables(f);
  return r;
}

// Runs the handler of the current state and, when it is done, moves to the next state.
HandlerResult run_state(Inflater* f) {
  HandlerResult r = HANDLER_FAILED;
  std::int32_t next = BLOCK_HEADER;
  switch (f->state) {
    case BLOCK_HEADER:
      return read_block_header(f);  // next: the block's header state, by its type
    case STORED_HEADER:
      r = read_stored_header(f);
      next = STORED_COPY;
      break;
    case FIXED_HEADER:
      r = setup_fixed_tables(f);
      next = FIXED_DATA;
      break;
    case DYNAMIC_HEADER:
      r = read_dynamic_tables(f);
      next = DYNAMIC_DATA;
      break;
    case STORED_COPY:
      r = copy_stored_bytes(f);
      next = BLOCK_HEADER;
      break;
    case FIXED_DATA:
      r = decode_block_data(f);
      next = BLOCK_HEADER;
      break;
    case DYNAMIC_DATA:
      r = decode_block_data(f);
      next = BLOCK_HEADER;
      break;
    default:
      return HANDLER_FAILED;
  }
  if (r == HANDLER_DONE) f->state = next;
  return r;
}

// Appends up to `length` bytes to the ring, as many as it has room for; returns how many.
std::uint32_t ring_fill(Inflater* f, const unsigned char* data, std::uint32_t length) {
  std::uint32_t n = RING_SIZE - f->ring_count;
  if (n > length) n = length;
  const std::uint32_t at = (f->ring_read + f->ring_count) & RING_MASK;
  const std::uint32_t first = n < RING_SIZE - at ? n : RING_SIZE - at;
  std::memcpy(f->ring + at, data, first);
  std::memcpy(f->ring, data + first, n - first);
  f->ring_count += n;
  return n;
}

}  // namespace

Inflater* inflater_create(void* user_data, InflaterOutputFn output_callback, AllocateFn allocate,
                          ReleaseFn release) {
  if (output_callback == nullptr || allocate == nullptr || release == nullptr) return nullptr;
  auto* f = static_cast<Inflater*>(allocate(sizeof(Inflater)));
  if (f == nullptr) return nullptr;
  f->guard_head = INFLATER_GUARD;
  f->error = 0;
  f->state = BLOCK_HEADER;
  f->literal_table = nullptr;
  f->distance_table = nullptr;
  f->last_block = 0;
  f->bit_buffer = 0;
  f->bit_count = 0;
  f->ring_read = 0;
  f->ring_count = 0;
  f->window_pos = 0;
  f->flush_pos = 0;
  f->user_data = user_data;
  f->output_callback = output_callback;
  f->allocate = allocate;
  f->release = release;
  f->window_filled = 0;
  f->fast_tables = nullptr;
  f->guard_tail = INFLATER_GUARD;
  return f;
}

int inflater_feed(Inflater* f, const unsigned char* data, std::uint32_t length) {
  if (!guards_hold(f)) return 1;
  if (f->error != 0) return 1;
  if (data == nullptr && length > 0) {
    // Bytes that cannot be read are lost from the stream: nothing after them can decode.
    f->error = 1;
    return 1;
  }

  for (;;) {
    if (f->state == BLOCK_HEADER && f->last_block != 0) break;
    const std::int32_t state_before = f->state;
    if (length > 0) {
      const std::uint32_t n = ring_fill(f, data, length);
      data += n;
      length -= n;
    }
    if (run_state(f) > 0) {
      f->error = 1;
      return 1;
    }
    if (length == 0 && f->state == state_before) break;
  }

  if (f->window_pos > f->flush_pos || f->window_pos == WINDOW_SIZE) {
    if (inflater_deliver(f) != HANDLER_DONE) return 1;
  }
  return f->error;
}

int inflater_finish(Inflater* f) {
  if (!guards_hold(f)) return 1;
  const int verdict =
      (f->error != 0 || f->ring_count > 0 || f->state != BLOCK_HEADER || f->last_block == 0) ? 1 : 0;
  // A stream that stops inside a Huffman block, or fails there, still holds its tables.
  if (f->state == FIXED_DATA || f->state == DYNAMIC_DATA) release_block_tables(f);
  fast_tables_release(f);
  const ReleaseFn release = f->release;
  release(f);
  return verdict;
}
