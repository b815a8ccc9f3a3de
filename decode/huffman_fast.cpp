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

// Eight bytes stored first byte lowest.
inline void store_le64(unsigned char* q, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) q[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void copy8(unsigned char* dst, const unsigned char* src) { std::memcpy(dst, src, 8); }
inline void copy4(unsigned char* dst, const unsigned char* src) { std::memcpy(dst, src, 4); }
// Reads all 16 bytes before writing any, so that it also serves when the two overlap.
inline void copy16(unsigned char* dst, const unsigned char* src) {
  unsigned char chunk[16];
  std::memcpy(chunk, src, 16);
  std::memcpy(dst, chunk, 16);
}

// An entry's size as a power of two: table offsets are formed in bytes, so that an
// index needs no scaling on the way to the load.
constexpr std::uint32_t ENTRY_SHIFT = sizeof(HuffmanEntry) == 16 ? 4 : 3;
static_assert(sizeof(HuffmanEntry) == std::size_t{1} << ENTRY_SHIFT, "entries are 8 or 16 bytes");

// The entry at a byte offset into a table (a multiple of the entry size).
inline const HuffmanEntry* entry_at(const HuffmanEntry* table, std::uint64_t offset) {
  return reinterpret_cast<const HuffmanEntry*>(reinterpret_cast<const unsigned char*>(table) + offset);
}

// The low n bits (n <= 32), without a table load.
inline std::uint64_t low_bits(std::uint64_t bits, std::uint32_t n) { return bits & ((std::uint64_t{1} << n) - 1); }

// A match whose source and destination both lie before the window's end. Writes exactly
// `length` bytes: the bytes after the destination are history that later matches read.
// When source and destination are at least a chunk's size apart, in either order, no
// chunk reads a byte that this copy has yet to write or has already overwritten; the last
// chunk may write some bytes a second time, with the same values.
inline void copy_match_exact(unsigned char* window, std::uint32_t dst, std::uint32_t src, std::uint32_t length) {
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

// How far past a match's end the chunked copy below may write.
constexpr std::uint32_t COPY_SPILL = 16;

// The same copy in whole chunks, where the window has COPY_SPILL bytes to spare after
// both ranges. Chunks may run past the match's end; the bytes there are history, so they
// are kept aside first and put back after. A source at least 16 bytes behind, or any
// distance ahead or none (a source that wrapped to or past the destination: a whole
// window back, the source is the destination itself), goes in 16-byte chunks that
// each read before they write; 8 to 15 bytes behind, in 8-byte chunks that
// read only bytes already final; closer than that, the period's bytes are repeated into
// an 8-byte pattern stored at steps of the largest multiple of the period that fits.
inline void copy_match_fast(unsigned char* window, std::uint32_t dst, std::uint32_t src, std::uint32_t length) {
  const std::uint32_t far_end = (src > dst ? src : dst) + length;
  if (far_end > WINDOW_SIZE - COPY_SPILL) {
    copy_match_exact(window, dst, src, length);
    return;
  }
  unsigned char* const out = window + dst;
  const unsigned char* const in = window + src;
  unsigned char kept[COPY_SPILL];
  std::memcpy(kept, out + length, COPY_SPILL);
  const std::uint32_t behind = dst - src;  // meaningful when src < dst
  if (src >= dst || behind >= 16) {
    std::uint32_t i = 0;
    do {
      copy16(out + i, in + i);
      i += 16;
    } while (i < length);
  } else if (behind >= 8) {
    std::uint32_t i = 0;
    do {
      copy8(out + i, in + i);
      i += 8;
    } while (i < length);
  } else {
    std::uint64_t pattern = load_le64(in) & ((std::uint64_t{1} << (8 * behind)) - 1);
    for (std::uint32_t k = behind; k < 8; k *= 2) pattern |= pattern << (8 * k);
    const std::uint32_t step = 8 - 8 % behind;
    std::uint32_t i = 0;
    do {
      store_le64(out + i, pattern);
      i += step;
    } while (i < length);
  }
  std::memcpy(out + length, kept, COPY_SPILL);
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
  const std::uint64_t literal_offset_mask = literal_mask << ENTRY_SHIFT;
  const std::uint64_t distance_offset_mask = std::uint64_t{BIT_MASK[distance_bits]} << ENTRY_SHIFT;
  int result = HANDLER_NEED_INPUT;

  const HuffmanEntry* e = nullptr;
  while (in <= in_limit && out <= out_limit) {
    bits |= load_le64(in) << count;
    in += (63 - count) >> 3;
    count |= 56;
    e = entry_at(literal_table, (bits << ENTRY_SHIFT) & literal_offset_mask);

  next_symbol:
    // Here at least 56 bits are held and e is the next symbol's first-level entry.
    if (e->op == OP_LITERAL) {
      // Up to three literals per refill: each takes at most 15 of the 56 bits. After
      // two of them a length may follow, which the window room allows for. `scaled`
      // is `bits` moved up by the entry size's shift and dropped in step with it, so
      // that masking it gives the next entry's byte offset at once; the bits it loses
      // at the top lie far beyond the 2 * 15 + 9 at most that its two lookups read
      // (a first-level width never exceeds the 9 bits requested).
      std::uint64_t scaled = bits << ENTRY_SHIFT;
      std::uint32_t used = e->code_bits;
      bits >>= used;
      scaled >>= used;
      count -= used;
      *out++ = static_cast<unsigned char>(e->value);
      e = entry_at(literal_table, scaled & literal_offset_mask);
      if (e->op != OP_LITERAL) goto decoded;
      used = e->code_bits;
      bits >>= used;
      scaled >>= used;
      count -= used;
      *out++ = static_cast<unsigned char>(e->value);
      e = entry_at(literal_table, scaled & literal_offset_mask);
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
    const std::uint32_t op = e->op;
    const std::uint32_t used = e->code_bits;

    if (op == OP_LITERAL) {
      bits >>= used;
      count -= used;
      *out++ = static_cast<unsigned char>(e->value);
      continue;
    }
    if (op == OP_END_OF_BLOCK) {
      bits >>= used;
      count -= used;
      result = HANDLER_DONE;
      break;
    }
    if (op > OP_MAX_EXTRA) return HANDLER_FAILED;

    // A length code and its extra bits go in one drop, and the distance code's entry is
    // found from the bits as they were, so that neither waits for two shifts in a row.
    const std::uint32_t length = e->value + static_cast<std::uint32_t>(low_bits(bits >> used, op));
    e = entry_at(distance_table, ((bits << ENTRY_SHIFT) >> (used + op)) & distance_offset_mask);
    bits >>= used + op;
    count -= used + op;

    while (e->op > OP_LINK_BASE) {
      if (e->op == OP_INVALID) return HANDLER_FAILED;
      bits >>= e->code_bits;
      count -= e->code_bits;
      e = &e->next[low_bits(bits, e->op - OP_LINK_BASE)];
    }
    const std::uint32_t dop = e->op;
    const std::uint32_t dused = e->code_bits;
    if (dop > OP_MAX_EXTRA) return HANDLER_FAILED;
    const std::uint32_t distance = e->value + static_cast<std::uint32_t>(low_bits(bits >> dused, dop));
    bits >>= dused + dop;
    count -= dused + dop;

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
      e = entry_at(literal_table, (bits << ENTRY_SHIFT) & literal_offset_mask);
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
