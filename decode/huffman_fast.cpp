// The fast loop of Huffman data decoding. It runs whole symbols from a bit buffer the
// width of the machine word, refilled by one word load at a time, and reads the block's
// fast tables (decode/huffman_fast.h): a literal, a length or a distance with its extra
// bits costs one lookup and one shift. What the fast tables leave to the careful tables,
// it decodes through them with the same walk the careful path makes. Its bounds
// (fast_loop_may_run) keep every turn within the input held in the ring and within the
// window's room, so it never runs dry inside a symbol, never delivers and never rolls
// back; on leaving it puts the whole bytes it did not use back into the ring, so that
// the record is at a symbol boundary in the form the careful path reads.

#include "decode/huffman_fast.h"

#include <cstdint>
#include <cstring>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/inflater_record.h"

namespace {

// The decoder runs on little-endian x86 (i686 and x86-64): a word loaded from memory has
// its first byte lowest, which is the stream's bit order.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are loaded first byte lowest");

// What the loop's branches usually do, so that the compiler lays the usual way out
// straight: a turn that goes on, a code of the fast table, a source that a wide copy may
// read. The branch between a literal and a length has no usual way and gets no hint.
inline bool usually(bool c) { return __builtin_expect(c, 1); }
inline bool seldom(bool c) { return __builtin_expect(c, 0); }

// One machine word of input, one unaligned load.
inline FastWord load_word(const unsigned char* q) {
  FastWord w;
  std::memcpy(&w, q, sizeof w);
  return w;
}

// The loop's input: bits not yet used (the next stream bit lowest), how many of them
// count, and the next byte to load. Bits above the count may hold copies of the bytes
// at `in` onward (a refill loads a whole word but counts only the whole bytes that fit);
// OR-ing the same bytes in again later leaves them unchanged, and they are masked off
// when the state goes back to the record. The count is kept modulo the word's width,
// in its low bits only (COUNT_MASK), so that an entry's whole word can be subtracted:
// its low bits are the bits it uses and everything above them is a multiple of the
// width.
struct FastBits {
  FastWord bits;
  std::uint32_t count;
  const unsigned char* in;
};

constexpr std::uint32_t COUNT_MASK = FAST_WORD_BITS - 1;
static_assert((FAST_USED_MASK + 1) % FAST_WORD_BITS == 0,
              "what an entry holds above its used bits is a multiple of the word's width");

inline std::uint32_t fast_count(const FastBits& b) { return b.count & COUNT_MASK; }

// Tops the buffer up to at least FAST_REFILLED_BITS bits.
inline void fast_refill(FastBits& b) {
  b.bits |= load_word(b.in) << fast_count(b);
  b.in += (~b.count & COUNT_MASK) >> 3;
  b.count |= FAST_REFILLED_BITS;
}

inline void fast_drop(FastBits& b, std::uint32_t n) {
  b.bits >>= n;
  b.count -= n;
}

// Drops the bits a fast entry uses, its low bits (what the entry holds above them is a
// multiple of the word's width, so the count stays right in its low bits).
inline void fast_drop_entry(FastBits& b, FastEntry e) {
  b.bits >>= e & COUNT_MASK;
  b.count -= e;
}

inline std::uint32_t fast_take(FastBits& b, std::uint32_t n) {
  const auto v = static_cast<std::uint32_t>(b.bits & ((FastWord{1} << n) - 1));
  fast_drop(b, n);
  return v;
}

// The low n bits of a word, n below 32. On i686 the loop takes them from this table: a
// mask made by a shift needs the one register that holds shift counts, and a spare one
// besides, which the loop has not got there. On x86-64 the shift is the faster way.
struct LowMasks {
  FastWord mask[32];
  constexpr LowMasks() : mask() {
    for (std::uint32_t n = 0; n < 32; ++n) mask[n] = (FastWord{1} << n) - 1;
  }
};
inline constexpr LowMasks LOW_MASKS{};
constexpr bool LOW_MASKS_FROM_TABLE = sizeof(FastWord) == 4;

inline FastWord low_bits_mask(std::uint32_t n) {
  return LOW_MASKS_FROM_TABLE ? LOW_MASKS.mask[n & 31] : (FastWord{1} << (n & COUNT_MASK)) - 1;
}

// A length or distance from its fast entry: the base plus the extra bits that follow
// the code, both dropped in one shift. Only entries without FAST_SLOW come here: their
// bits above the code's length up to the value are clear, so the shift count may take
// them along (the machine's shift reads only its low bits, and so the mask costs nothing).
inline std::uint32_t fast_take_value(FastBits& b, FastEntry e) {
  const FastWord code_and_extra = b.bits & low_bits_mask(e);
  const auto extra = static_cast<std::uint32_t>(code_and_extra >> ((e >> FAST_CODE_SHIFT) & COUNT_MASK));
  fast_drop_entry(b, e);
  return (e >> FAST_VALUE_SHIFT) + extra;
}

// A code decoded through the careful tables: its entry and the bits of the code.
struct WalkedCode {
  const HuffmanEntry* entry;
  std::uint32_t code_bits;
};

// The sub-table walk through a block's HuffmanEntry tables: from the first-level entry of
// the code at the bottom of `bits`, along its link entries, to the code's own entry, and
// how many bits the code takes (not counting its extra bits). An invalid pattern ends on
// its OP_INVALID entry. `bits` holds at least the longest code. It takes the bits by
// value, so that the loop's own state never has its address taken and stays in
// registers.
inline WalkedCode walk_code(FastWord bits, const HuffmanEntry* table, std::uint32_t width) {
  const HuffmanEntry* e = &table[bits & BIT_MASK[width]];
  std::uint32_t used = 0;
  while (e->op > OP_LINK_BASE && e->op != OP_INVALID) {
    used += e->code_bits;
    bits >>= e->code_bits;
    e = &e->next[bits & BIT_MASK[e->op - OP_LINK_BASE]];
  }
  return WalkedCode{e, used + (e->op != OP_INVALID ? e->code_bits : 0u)};
}

constexpr std::uint32_t CHUNK = 8;

inline void copy_chunk(unsigned char* dst, const unsigned char* src) { std::memcpy(dst, src, CHUNK); }
inline void copy4(unsigned char* dst, const unsigned char* src) { std::memcpy(dst, src, 4); }

// Eight bytes stored first byte lowest, one unaligned store.
inline void store_le64(unsigned char* q, std::uint64_t v) { std::memcpy(q, &v, sizeof v); }

// Where 16-byte moves are single instructions (x86-64 has SSE2 throughout), a match at
// least that far from its source goes in whole 16-byte chunks that may run past its end;
// the 16 bytes there are kept aside first and put back after (copy_wide). Without SSE2
// (i686) the same goes in 8-byte chunks.
constexpr std::uint32_t WIDE = sizeof(FastWord) == 8 ? 16 : 8;
static_assert(WIDE <= FAST_COPY_OVERRUN, "a chunk past the match's end stays inside the window");

// A chunk, all read before any is written.
inline void copy_wide_chunk(unsigned char* dst, const unsigned char* src) {
  unsigned char chunk[WIDE];
  std::memcpy(chunk, src, WIDE);
  std::memcpy(dst, chunk, WIDE);
}

// A match in chunks from a source at least a chunk behind the destination or anywhere
// ahead of it, both with a chunk after them inside the window (the loop's bounds give the
// destination that room). A source that far behind never reads what this copy writes; a
// source ahead is read by each chunk before the chunk is written, and later chunks read
// further on still. The chunk after the match is history that later matches read: it is
// kept aside and put back.
inline void copy_wide(unsigned char* out, const unsigned char* in, std::uint32_t length) {
  unsigned char* const end = out + length;
  unsigned char kept[WIDE];
  std::memcpy(kept, end, WIDE);
  do {
    copy_wide_chunk(out, in);
    out += WIDE;
    in += WIDE;
  } while (out < end);
  std::memcpy(end, kept, WIDE);
}

// A match whose source and destination both lie whole before the window's end, the
// destination with FAST_COPY_OVERRUN bytes to spare after it (the loop's bounds); what
// copy_wide does not take. Leaves every byte after the destination as it was: they are
// history that later matches read. Source and destination at least a chunk apart, in
// either order, or the same (a distance of a whole window): chunks that never read what
// this copy writes, the last one ending at the match's end, writing some bytes a second
// time with the same values. A source less than a chunk behind: its period repeated as an
// 8-byte pattern. Less than a chunk ahead (a distance within a chunk of the window's
// size): byte by byte.
inline void copy_match_exact(unsigned char* window, std::uint32_t dst, std::uint32_t src, std::uint32_t length) {
  unsigned char* const out = window + dst;
  const unsigned char* const in = window + src;
  const std::uint32_t gap = src < dst ? dst - src : src - dst;
  if (gap >= CHUNK || gap == 0) {
    if (length >= CHUNK) {
      std::uint32_t i = 0;
      do {
        copy_chunk(out + i, in + i);
        i += CHUNK;
      } while (i + CHUNK < length);
      copy_chunk(out + length - CHUNK, in + length - CHUNK);
    } else if (length >= 4) {
      copy4(out, in);
      copy4(out + length - 4, in + length - 4);
    } else {
      out[0] = in[0];
      out[1] = in[1];
      out[2] = in[2];
    }
    return;
  }
  std::uint32_t i = 0;
  if (src < dst) {
    // The period's bytes lie before the destination; the rest of the eight loaded are
    // masked off. Stores go at steps of the largest multiple of the period up to eight.
    static constexpr std::uint8_t STEP[CHUNK] = {0, 8, 8, 6, 8, 5, 6, 7};
    std::uint64_t pattern;
    std::memcpy(&pattern, in, sizeof pattern);
    pattern &= ~std::uint64_t{0} >> (64 - 8 * gap);
    for (std::uint32_t k = gap; k < 8; k *= 2) pattern |= pattern << (8 * k);
    for (; i + 8 <= length; i += STEP[gap]) store_le64(out + i, pattern);
  }
  for (; i < length; ++i) out[i] = in[i];
}

// The loop starts on a cache line of its own: its speed on i686 moved by 2 to 3% with
// where the code before it happened to end (a change of the CRC-32's size did that), and
// a fixed start keeps its branches' layout the same whatever is linked before it.
constexpr std::size_t FAST_LOOP_ALIGNMENT = 64;

}  // namespace

__attribute__((aligned(FAST_LOOP_ALIGNMENT)))
HandlerResult decode_huffman_fast(Inflater* f, const HuffmanEntry* literal_table,
                                  const HuffmanEntry* distance_table, std::uint32_t literal_bits,
                                  std::uint32_t distance_bits, FastMatch* match) {
  match->length = 0;
  // The loop reads the ring only up to its end: across the wrap the careful path takes
  // over for the few bytes there, and the next call starts at the ring's beginning.
  const std::uint32_t start = f->ring_read & RING_MASK;
  const std::uint32_t span = RING_SIZE - start < f->ring_count ? RING_SIZE - start : f->ring_count;
  if (span < FAST_MIN_INPUT) return HANDLER_NEED_INPUT;
  const unsigned char* const in_start = f->ring + start;
  // fast_loop_may_run as pointers: a turn may start at `in` up to in_limit and at `out`
  // up to out_limit.
  const unsigned char* const in_limit = in_start + span - FAST_MIN_INPUT;
  unsigned char* const window = f->window;
  unsigned char* out = window + f->window_pos;
  unsigned char* const out_limit = window + FAST_MAX_WINDOW_POS;
  // Before the window first fills, a match may reach back only to the stream's first byte.
  const std::uint32_t history_extra = f->window_filled != 0 ? WINDOW_SIZE : 0;

  const FastEntry* const fast_literal = f->fast_tables;
  const FastEntry* const fast_distance = f->fast_tables + FAST_DISTANCE_OFFSET;
  constexpr FastWord literal_mask = (FastWord{1} << FAST_LITERAL_BITS) - 1;
  constexpr FastWord distance_mask = (FastWord{1} << FAST_DISTANCE_BITS) - 1;
  FastBits b{f->bit_buffer, f->bit_count, in_start};
  HandlerResult result = HANDLER_NEED_INPUT;

  // Each turn starts with a refill and the lookup of its first symbol; a turn that
  // ends in a match makes both for the next turn before the copy, so that the lookup does
  // not wait for the copy's branches.
  if (b.in > in_limit || out > out_limit) return HANDLER_NEED_INPUT;
  fast_refill(b);
  FastEntry e = fast_literal[b.bits & literal_mask];
  for (;;) {
    if ((e & FAST_LITERAL) != 0) {
      // Literals take at most FAST_LITERAL_BITS each, so one refill serves this many.
      // The run of literals is a loop of its own, so that its state stays in registers.
      // A length that ends the run fewer literals after a refill finds the bits those
      // literals used made up first; the entry's index bits were all held already, so
      // the refill does not change it. One found right after a refill needs none.
      bool stop = false;
      for (;;) {
        bool run_on = true;
        for (std::uint32_t n = 1; run_on; ++n) {
          fast_drop_entry(b, e);
          *out++ = static_cast<unsigned char>(e >> FAST_VALUE_SHIFT);
          if (n == FAST_LITERALS_PER_REFILL) break;
          e = fast_literal[b.bits & literal_mask];
          run_on = (e & FAST_LITERAL) != 0;
        }
        if (!run_on) {
          fast_refill(b);
          break;
        }
        if (seldom(b.in > in_limit || out > out_limit)) {
          stop = true;
          break;
        }
        fast_refill(b);
        e = fast_literal[b.bits & literal_mask];
        if ((e & FAST_LITERAL) == 0) break;
      }
      if (stop) break;
    }

    std::uint32_t length;
    if (usually((e & FAST_SLOW) == 0)) {
      length = fast_take_value(b, e);
    } else {
      const WalkedCode w = walk_code(b.bits, literal_table, literal_bits);
      fast_drop(b, w.code_bits);
      const HuffmanEntry* h = w.entry;
      if (h->op == OP_LITERAL) {
        *out++ = static_cast<unsigned char>(h->value);
        if (b.in > in_limit || out > out_limit) break;
        fast_refill(b);
        e = fast_literal[b.bits & literal_mask];
        continue;
      }
      if (h->op == OP_END_OF_BLOCK) {
        result = HANDLER_DONE;
        break;
      }
      if (h->op > OP_MAX_EXTRA) return HANDLER_FAILED;
      length = h->value + fast_take(b, h->op);
      // A 32-bit buffer may be left with fewer bits than the distance table's index.
      if (FAST_REFILLED_BITS < FAST_LENGTH_BITS + FAST_DISTANCE_BITS) fast_refill(b);
    }

    // A 64-bit refill holds a length and a distance with their longest codes and extra
    // bits. After a 32-bit one a length of the fast table leaves the distance table's
    // index; the refill for the distance's extra bits goes beside the lookup, which does
    // not wait for it.
    const FastEntry d = fast_distance[b.bits & distance_mask];
    if (FAST_REFILLED_BITS < FAST_LENGTH_BITS + FAST_DISTANCE_CODE_BITS) fast_refill(b);
    std::uint32_t distance;
    if (usually((d & FAST_SLOW) == 0)) {
      distance = fast_take_value(b, d);
    } else {
      // A block without distance codes may hold literals only.
      if (distance_table == nullptr) return HANDLER_FAILED;
      const WalkedCode w = walk_code(b.bits, distance_table, distance_bits);
      fast_drop(b, w.code_bits);
      const HuffmanEntry* h = w.entry;
      if (h->op > OP_MAX_EXTRA) return HANDLER_FAILED;
      // The longest distance code with the most extra bits may outgrow a 32-bit refill.
      if (fast_count(b) < h->op) fast_refill(b);
      distance = h->value + fast_take(b, h->op);
    }

    const auto wp = static_cast<std::uint32_t>(out - window);
    if (seldom(distance > wp + history_extra)) return HANDLER_FAILED;
    // Both bounds in one branch: a match that would run into the window's last
    // FAST_COPY_OVERRUN bytes goes to the careful copy; one that fits is copied even when
    // the input bound ends the loop after it.
    const bool fits = wp + length <= WINDOW_SIZE - FAST_COPY_OVERRUN;
    const bool next_turn = b.in <= in_limit;
    if (seldom(!(fits & next_turn))) {
      if (!fits) {
        *match = FastMatch{length, distance};
        break;
      }
    } else {
      fast_refill(b);
      e = fast_literal[b.bits & literal_mask];
    }
    // The destination ends before the window's end; the source may wrap once.
    const std::uint32_t src = (wp - distance) & WINDOW_MASK;
    if (usually(distance >= WIDE && src + length + WIDE <= WINDOW_SIZE)) {
      copy_wide(out, window + src, length);
    } else if (src + length <= WINDOW_SIZE) {
      copy_match_exact(window, wp, src, length);
    } else {
      for (std::uint32_t i = 0; i < length; ++i) window[wp + i] = window[(src + i) & WINDOW_MASK];
    }
    out += length;
    if (seldom(!next_turn)) break;
  }

  // Only bytes pulled in this run may go back: older ones may have been overwritten by
  // input that arrived since. Whatever stays is below 8 bits, or came from the record's
  // own bit buffer and so fits in 32.
  b.count = fast_count(b);
  const auto pulled = static_cast<std::uint32_t>(b.in - in_start);
  std::uint32_t whole = b.count >> 3;
  if (whole > pulled) whole = pulled;
  b.count -= whole * 8;
  f->ring_read += pulled - whole;
  f->ring_count -= pulled - whole;
  f->bit_buffer = static_cast<std::uint32_t>(b.bits & ((FastWord{1} << b.count) - 1));
  f->bit_count = b.count;
  f->window_pos = static_cast<std::uint32_t>(out - window);
  return result;
}
