// The fast loop of Huffman data decoding. It runs only while every symbol it may meet
// fits in what it holds: at least 8 unread bytes in the ring when a symbol starts (after
// a refill that leaves 56 or more bits in a 64-bit accumulator, while a symbol needs at
// most 15 + 5 + 15 + 13 = 48), and room before the window's end for two literals and a
// match of 258 bytes, the most one turn of the loop writes, so it never delivers and
// never has to roll back. On leaving it puts the whole
// bytes it did not use back into the ring, so that the record is back in the form
// the careful path reads, at a symbol boundary.

#include <cstdint>
#include <cstring>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/inflater_record.h"
#include "decode/window_copy.h"

namespace {

constexpr std::uint32_t FAST_MAX_WINDOW_POS = WINDOW_SIZE - FAST_WINDOW_ROOM;

// Eight bytes, first byte lowest (compilers turn this into one load).
inline std::uint64_t load_le64(const unsigned char* q) {
  return static_cast<std::uint64_t>(q[0]) | static_cast<std::uint64_t>(q[1]) << 8 |
         static_cast<std::uint64_t>(q[2]) << 16 | static_cast<std::uint64_t>(q[3]) << 24 |
         static_cast<std::uint64_t>(q[4]) << 32 | static_cast<std::uint64_t>(q[5]) << 40 |
         static_cast<std::uint64_t>(q[6]) << 48 | static_cast<std::uint64_t>(q[7]) << 56;
}

inline void copy8(unsigned char* dst, const unsigned char* src) { std::memcpy(dst, src, 8); }
inline void copy4(unsigned char* dst, const unsigned char* src) { std::memcpy(dst, src, 4); }
inline void copy16(unsigned char* dst, const unsigned char* src) { std::memcpy(dst, src, 16); }

// The low n bits (n <= 32), without a table load.
inline std::uint64_t low_bits(std::uint64_t bits, std::uint32_t n) { return bits & ((std::uint64_t{1} << n) - 1); }

// A match whose source and destination both lie before the window's end. Writes exactly
// `length` bytes: the bytes after the destination are history that later matches read.
// When source and destination are at least a chunk's size apart, in either order, no
// chunk reads a byte that this copy has yet to write or has already overwritten; the last
// chunk may write some bytes a second time, with the same values.
inline void copy_match_fast(unsigned char* window, std::uint32_t dst, std::uint32_t src, std::uint32_t length) {
  const std::uint32_t apart = src < dst ? dst - src : src - dst;
  unsigned char* out = window + dst;
  const unsigned char* in = window + src;
  if (apart >= 16 && length >= 16) {
    std::uint32_t i = 0;
    for (; i + 16 <= length; i += 16) copy16(out + i, in + i);
    if (i < length) copy16(out + length - 16, in + length - 16);
    return;
  }
  if (apart >= 8) {
    if (length >= 8) {
      std::uint32_t i = 0;
      for (; i + 8 <= length; i += 8) copy8(out + i, in + i);
      if (i < length) copy8(out + length - 8, in + length - 8);
    } else if (length >= 4) {
      copy4(out, in);
      copy4(out + length - 4, in + length - 4);
    } else {
      for (std::uint32_t i = 0; i < length; ++i) out[i] = in[i];
    }
    return;
  }
  if (src < dst && length <= 32) {
    // A short repeat of a short period.
    for (std::uint32_t i = 0; i < length; ++i) out[i] = in[i];
    return;
  }
  window_copy_forward(window, dst, src, length);
}

}  // namespace

// Stands in for the distance table of a block without distance codes: whatever the bits,
// a length symbol then meets an invalid entry.
const HuffmanEntry NO_DISTANCE_CODES[1] = {{OP_INVALID, 0, {0}}};

int decode_huffman_fast(Inflater* f, const HuffmanEntry* literal_table, const HuffmanEntry* distance_table,
                        std::uint32_t literal_bits, std::uint32_t distance_bits) {
  if (distance_table == nullptr) {
    distance_table = NO_DISTANCE_CODES;
    distance_bits = 0;
  }
  // The loop reads the ring only up to its end: across the wrap the careful path takes
  // over for the few bytes there, and the next call starts at the ring's beginning.
  const std::uint32_t start = f->ring_read & RING_MASK;
  const std::uint32_t span = RING_SIZE - start < f->ring_count ? RING_SIZE - start : f->ring_count;
  if (span < FAST_MIN_INPUT) return HANDLER_NEED_INPUT;
  const unsigned char* const in_start = f->ring + start;
  const unsigned char* in = in_start;
  const unsigned char* const in_limit = in_start + span - FAST_MIN_INPUT;
  unsigned char* const window = f->window;
  unsigned char* out = window + f->window_pos;
  unsigned char* const out_limit = window + FAST_MAX_WINDOW_POS;
  // Before the window first fills, a match may reach back only to the stream's first byte.
  const std::uint32_t history_extra = f->window_filled != 0 ? WINDOW_SIZE : 0;

  // Bits above `count` in `bits` may hold copies of the next input bytes (a refill loads
  // eight bytes but counts only the whole ones that fit); OR-ing the same bytes in again
  // later leaves them unchanged, and they are masked off when the state goes back.
  std::uint64_t bits = f->bit_buffer;
  std::uint32_t count = f->bit_count;
  const std::uint64_t literal_mask = BIT_MASK[literal_bits];
  const std::uint64_t distance_mask = BIT_MASK[distance_bits];
  int result = HANDLER_NEED_INPUT;

  const HuffmanEntry* e = nullptr;
  while (in <= in_limit && out <= out_limit) {
    bits |= load_le64(in) << count;
    in += (63 - count) >> 3;
    count |= 56;
    e = &literal_table[bits & literal_mask];

  next_symbol:
    // Here at least 56 bits are held and e is the next symbol's first-level entry.
    if (e->op == OP_LITERAL) {
      // Up to three literals per refill: each takes at most 15 of the 56 bits. After
      // two of them a length may follow, which the window room allows for.
      bits >>= e->code_bits;
      count -= e->code_bits;
      *out++ = static_cast<unsigned char>(e->value);
      e = &literal_table[bits & literal_mask];
      if (e->op != OP_LITERAL) goto decoded;
      bits >>= e->code_bits;
      count -= e->code_bits;
      *out++ = static_cast<unsigned char>(e->value);
      e = &literal_table[bits & literal_mask];
      if (e->op != OP_LITERAL) goto decoded;
      bits >>= e->code_bits;
      count -= e->code_bits;
      *out++ = static_cast<unsigned char>(e->value);
      continue;
    }
  decoded:
    // The symbol may need up to 48 more bits; refill when a literal used some.
    if (count < 48) {
      if (in > in_limit) break;
      bits |= load_le64(in) << count;
      in += (63 - count) >> 3;
      count |= 56;
    }
    while (e->op > OP_LINK_BASE) {
      if (e->op == OP_INVALID) return HANDLER_FAILED;
      bits >>= e->code_bits;
      count -= e->code_bits;
      e = &e->next[low_bits(bits, e->op - OP_LINK_BASE)];
    }
    bits >>= e->code_bits;
    count -= e->code_bits;
    const std::uint32_t op = e->op;

    if (op == OP_LITERAL) {
      *out++ = static_cast<unsigned char>(e->value);
      continue;
    }
    if (op == OP_END_OF_BLOCK) {
      result = HANDLER_DONE;
      break;
    }
    if (op > OP_MAX_EXTRA) return HANDLER_FAILED;

    const std::uint32_t length = e->value + static_cast<std::uint32_t>(low_bits(bits, op));
    bits >>= op;
    count -= op;

    e = &distance_table[bits & distance_mask];
    while (e->op > OP_LINK_BASE) {
      if (e->op == OP_INVALID) return HANDLER_FAILED;
      bits >>= e->code_bits;
      count -= e->code_bits;
      e = &e->next[low_bits(bits, e->op - OP_LINK_BASE)];
    }
    bits >>= e->code_bits;
    count -= e->code_bits;
    const std::uint32_t dop = e->op;
    if (dop > OP_MAX_EXTRA) return HANDLER_FAILED;
    const std::uint32_t distance = e->value + static_cast<std::uint32_t>(low_bits(bits, dop));
    bits >>= dop;
    count -= dop;

    const std::uint32_t wp = static_cast<std::uint32_t>(out - window);
    if (distance > wp + history_extra) return HANDLER_FAILED;
    // The destination ends before the window's end; the source may wrap once.
    const std::uint32_t src = (wp - distance) & WINDOW_MASK;
    // Refill and look the next symbol up before the copy, so that the table load does
    // not wait for it.
    const bool refilled = in <= in_limit;
    if (refilled) {
      bits |= load_le64(in) << count;
      in += (63 - count) >> 3;
      count |= 56;
      e = &literal_table[bits & literal_mask];
    }
    if (src + length <= WINDOW_SIZE) {
      copy_match_fast(window, wp, src, length);
    } else {
      const std::uint32_t head = WINDOW_SIZE - src;
      window_copy_forward(window, wp, src, head);
      window_copy_forward(window, wp + head, 0, length - head);
    }
    out += length;
    if (refilled && out <= out_limit) goto next_symbol;
  }

  // Only bytes pulled in this run may go back: older ones may have been overwritten by
  // input that arrived since. Whatever stays is below 8 bits, or came from the record's
  // own bit buffer and so fits in 32.
  const std::uint32_t pulled = static_cast<std::uint32_t>(in - in_start);
  std::uint32_t whole = count >> 3;
  if (whole > pulled) whole = pulled;
  count -= whole * 8;
  f->ring_read += pulled - whole;
  f->ring_count -= pulled - whole;
  f->bit_buffer = static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << count) - 1));
  f->bit_count = count;
  f->window_pos = static_cast<std::uint32_t>(out - window);
  return result;
}
