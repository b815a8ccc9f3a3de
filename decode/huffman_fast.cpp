// The fast loop of Huffman data decoding. It runs only while every symbol it may meet
// fits in what it holds: at least 8 unread bytes in the ring when a symbol starts (after
// a refill that leaves 56 or more bits in a 64-bit accumulator, while a symbol needs at
// most 15 + 5 + 15 + 13 = 48), and room for a match of 258 bytes before the window's
// end, so it never delivers and never has to roll back. On leaving it puts the whole
// bytes it did not use back into the ring, so that the record is back in the form
// the careful path reads, at a symbol boundary.

#include <cstdint>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/inflater_record.h"
#include "decode/window_copy.h"

namespace {

constexpr std::uint32_t FAST_MIN_INPUT = 8;
constexpr std::uint32_t FAST_MAX_WINDOW_POS = WINDOW_SIZE - MAX_MATCH;

// Eight ring bytes from position p, first byte lowest, whether or not the ring wraps
// inside them.
inline std::uint64_t ring_load64(const unsigned char* ring, std::uint32_t read) {
  const std::uint32_t p = read & RING_MASK;
  std::uint64_t v = 0;
  if (p <= RING_SIZE - 8) {
    const unsigned char* q = ring + p;
    v = static_cast<std::uint64_t>(q[0]) | static_cast<std::uint64_t>(q[1]) << 8 |
        static_cast<std::uint64_t>(q[2]) << 16 | static_cast<std::uint64_t>(q[3]) << 24 |
        static_cast<std::uint64_t>(q[4]) << 32 | static_cast<std::uint64_t>(q[5]) << 40 |
        static_cast<std::uint64_t>(q[6]) << 48 | static_cast<std::uint64_t>(q[7]) << 56;
  } else {
    for (std::uint32_t i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(ring[(read + i) & RING_MASK]) << (8 * i);
  }
  return v;
}

}  // namespace

int decode_huffman_fast(Inflater* f, const HuffmanEntry* literal_table, const HuffmanEntry* distance_table,
                        std::uint32_t literal_bits, std::uint32_t distance_bits) {
  // Bits above `count` in `bits` may hold copies of the next input bytes (a refill loads
  // eight bytes but counts only the whole ones that fit); OR-ing the same bytes in again
  // later leaves them unchanged, and they are masked off when the state goes back.
  std::uint64_t bits = f->bit_buffer;
  std::uint32_t count = f->bit_count;
  std::uint32_t read = f->ring_read;
  std::uint32_t unread = f->ring_count;
  std::uint32_t wp = f->window_pos;
  unsigned char* const window = f->window;
  const unsigned char* const ring = f->ring;
  const std::uint64_t literal_mask = BIT_MASK[literal_bits];
  const std::uint64_t distance_mask = BIT_MASK[distance_bits];
  int result = HANDLER_NEED_INPUT;

  while (unread >= FAST_MIN_INPUT && wp <= FAST_MAX_WINDOW_POS) {
    bits |= ring_load64(ring, read) << count;
    const std::uint32_t taken = (63 - count) >> 3;
    read += taken;
    unread -= taken;
    count |= 56;

    const HuffmanEntry* e = &literal_table[bits & literal_mask];
    while (e->op > OP_LINK_BASE) {
      if (e->op == OP_INVALID) return HANDLER_FAILED;
      bits >>= e->code_bits;
      count -= e->code_bits;
      e = &e->next[bits & BIT_MASK[e->op - OP_LINK_BASE]];
    }
    bits >>= e->code_bits;
    count -= e->code_bits;
    const std::uint32_t op = e->op;

    if (op == OP_LITERAL) {
      window[wp++] = static_cast<unsigned char>(e->value);
      // A second literal costs no refill: the first one used at most 15 of 56 bits.
      e = &literal_table[bits & literal_mask];
      if (e->op == OP_LITERAL) {
        bits >>= e->code_bits;
        count -= e->code_bits;
        window[wp++] = static_cast<unsigned char>(e->value);
      }
      continue;
    }
    if (op == OP_END_OF_BLOCK) {
      result = HANDLER_DONE;
      break;
    }
    if (op > OP_MAX_EXTRA) return HANDLER_FAILED;

    const std::uint32_t length = e->value + static_cast<std::uint32_t>(bits & BIT_MASK[op]);
    bits >>= op;
    count -= op;

    if (distance_table == nullptr) return HANDLER_FAILED;
    e = &distance_table[bits & distance_mask];
    while (e->op > OP_LINK_BASE) {
      if (e->op == OP_INVALID) return HANDLER_FAILED;
      bits >>= e->code_bits;
      count -= e->code_bits;
      e = &e->next[bits & BIT_MASK[e->op - OP_LINK_BASE]];
    }
    bits >>= e->code_bits;
    count -= e->code_bits;
    const std::uint32_t dop = e->op;
    if (dop > OP_MAX_EXTRA) return HANDLER_FAILED;
    const std::uint32_t distance = e->value + static_cast<std::uint32_t>(bits & BIT_MASK[dop]);
    bits >>= dop;
    count -= dop;
    if (!inflater_distance_ok(f, wp, distance)) return HANDLER_FAILED;

    // The destination ends before the window's end; the source may wrap once.
    const std::uint32_t src = (wp - distance) & WINDOW_MASK;
    if (src + length <= WINDOW_SIZE) {
      window_copy_forward(window, wp, src, length);
    } else {
      const std::uint32_t head = WINDOW_SIZE - src;
      window_copy_forward(window, wp, src, head);
      window_copy_forward(window, wp + head, 0, length - head);
    }
    wp += length;
  }

  // Only bytes pulled in this run may go back: older ones may have been overwritten by
  // input that arrived since. Whatever stays is below 8 bits, or came from the record's
  // own bit buffer and so fits in 32.
  std::uint32_t whole = count >> 3;
  if (whole > read - f->ring_read) whole = read - f->ring_read;
  read -= whole;
  unread += whole;
  count -= whole * 8;
  f->bit_buffer = static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << count) - 1));
  f->bit_count = count;
  f->ring_read = read;
  f->ring_count = unread;
  f->window_pos = wp;
  return result;
}
