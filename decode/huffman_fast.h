#pragma once
// The fast loop of Huffman data decoding and the tables it reads. The careful path
// (decode_huffman_data) reads the stream symbol by symbol from the HuffmanEntry tables
// and can stop at any bit; the fast loop runs whole symbols from a bit buffer the width
// of the machine word while the ring holds enough input for any symbol and the window
// has room for any step, and leaves the record at a symbol boundary in the form the
// careful path reads.

#include <cstddef>
#include <cstdint>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/inflater_record.h"

// ---- the fast tables ----------------------------------------------------------------
//
// Built for each Huffman block from the same code lengths as its HuffmanEntry tables,
// one 32-bit word per slot, one level only, indexed by the next stream bits:
//   bits 0..7    bits the entry consumes: the code, plus the extra bits of a length or
//                distance (at most 21, so bits 5..7 stay clear and the word's low bits
//                can be the shift count itself)
//   bits 8..11   the code's own length, above which a length's or distance's extra bits
//                follow
//   bit 12       FAST_SLOW: the careful tables decide (a code longer than the fast
//                table, end of block, symbols with no meaning, patterns of no code)
//   bits 16..30  literal byte, base length or base distance
//   bit 31       FAST_LITERAL
using FastEntry = std::uint32_t;

constexpr FastEntry FAST_LITERAL = 0x80000000u;
constexpr FastEntry FAST_SLOW = 0x1000u;
constexpr std::uint32_t FAST_VALUE_SHIFT = 16;
constexpr std::uint32_t FAST_CODE_SHIFT = 8;
constexpr FastEntry FAST_USED_MASK = 0xFFu;
constexpr FastEntry FAST_CODE_MASK = 0xFu;

// Widths of the two fast tables: wide enough that the codes of real data almost all
// resolve in one lookup, small enough to stay in the first-level cache and to be filled
// cheaply for every block (a wider distance table measured no faster). Both are always
// filled to their full width, one after the other in one block.
constexpr std::uint32_t FAST_LITERAL_BITS = 11;
constexpr std::uint32_t FAST_DISTANCE_BITS = 8;
constexpr std::uint32_t FAST_DISTANCE_OFFSET = 1u << FAST_LITERAL_BITS;
constexpr std::uint32_t FAST_TABLE_ENTRIES = FAST_DISTANCE_OFFSET + (1u << FAST_DISTANCE_BITS);

constexpr std::uint32_t MAX_LENGTH_EXTRA = 5;
static_assert(FAST_LITERAL_BITS + MAX_LENGTH_EXTRA < 32 && FAST_DISTANCE_BITS + OP_MAX_EXTRA < 32,
              "what an entry consumes fits in bits 0..4");
static_assert(MAX_MATCH < (1u << 15) && MAX_DISTANCE - (1u << OP_MAX_EXTRA) < (1u << 15),
              "base lengths and distances fit the value field");

// Fills both fast tables of a block from its ordered code lengths (decode/huffman.h). A
// distance set without codes (a block of literals only) leaves every distance pattern to
// the careful tables, which have none. The tables' one block comes from the record's
// allocate function the first time and serves every later block of the record; false
// when that allocation fails.
bool fast_tables_build(Inflater* inflater, const HuffmanCodeOrder& literal, const HuffmanCodeOrder& distance);
// Gives the tables' block back, at the record's end.
void fast_tables_release(Inflater* inflater);

// ---- where the fast loop may run ----------------------------------------------------

// The machine word is the fast loop's bit buffer: a refill tops it up to at least
// FAST_REFILLED_BITS. The loop goes in turns: a refill, then literals up to what one
// refill holds, or fewer literals and a length and a distance, each with its longest
// code and extra bits (a length after literals finds the buffer refilled before it, and
// a 32-bit buffer is refilled again beside the distance's lookup, which the bits left
// after the length serve). A turn thus
// consumes at most FAST_TURN_CONSUMED bits. When a refill starts the turn at byte `in`,
// every later refill of the turn loads its word from no further than the bits consumed
// plus a word's worth of buffered bits beyond `in`: FAST_MIN_INPUT bytes from `in` on
// hold all that a turn can read.
using FastWord = std::size_t;
constexpr std::uint32_t FAST_WORD_BITS = sizeof(FastWord) * 8;
constexpr std::uint32_t FAST_REFILLED_BITS = FAST_WORD_BITS - 8;
constexpr std::uint32_t FAST_LITERALS_PER_REFILL = FAST_REFILLED_BITS / FAST_LITERAL_BITS;
constexpr std::uint32_t FAST_LENGTH_BITS = MAX_CODE_LENGTH + MAX_LENGTH_EXTRA;
constexpr std::uint32_t FAST_DISTANCE_CODE_BITS = MAX_CODE_LENGTH + OP_MAX_EXTRA;
constexpr std::uint32_t FAST_TURN_CONSUMED = FAST_REFILLED_BITS + FAST_LENGTH_BITS + FAST_DISTANCE_CODE_BITS;
constexpr std::uint32_t FAST_MIN_INPUT = (FAST_TURN_CONSUMED + FAST_WORD_BITS + 7) / 8 + sizeof(FastWord);

static_assert(FAST_LITERALS_PER_REFILL >= 2, "a refill holds two literals");
static_assert(FAST_REFILLED_BITS >= FAST_LENGTH_BITS, "a refill holds a length with its extra bits");
static_assert(FAST_REFILLED_BITS >= FAST_DISTANCE_BITS + OP_MAX_EXTRA,
              "a refill holds a distance of the fast table with its extra bits");
static_assert(FAST_REFILLED_BITS >= FAST_LITERAL_BITS + MAX_LENGTH_EXTRA + FAST_DISTANCE_BITS,
              "a refill holds a length of the fast table and the distance table's index after it");
static_assert(FAST_MIN_INPUT < RING_SIZE / 2, "the fast loop runs on a ring that is half full");

// Window room for a turn. The fast loop never fills the window itself, since the byte
// that fills it is due to be delivered at once; and a copy in whole chunks may pass over
// the bytes after its match (it puts them back), which must lie inside the window. A turn
// starts only with room for its literals; its match is tested against the window's end
// together with the input bound of the next turn (one branch for both), and a match that
// does not fit is left to the careful copy, which delivers on the way (FastMatch). Room
// for the longest match at every turn instead would leave the last few hundred bytes of
// each window to the careful path.
constexpr std::uint32_t FAST_COPY_OVERRUN = 16;
constexpr std::uint32_t FAST_WINDOW_ROOM = FAST_LITERALS_PER_REFILL + 1;
constexpr std::uint32_t FAST_MAX_WINDOW_POS = WINDOW_SIZE - FAST_WINDOW_ROOM;
static_assert(FAST_COPY_OVERRUN >= FAST_WINDOW_ROOM, "after a match that fits, the next turn's literals fit");

// Whether the fast loop may start a turn: enough unread input and room in the window for
// a whole one. The careful path asks this before it hands over; the loop itself keeps
// the same two bounds as pointers (its input and output limits), and also stops where
// the ring wraps.
inline bool fast_loop_may_run(const Inflater* f) {
  return f->ring_count >= FAST_MIN_INPUT && f->window_pos <= FAST_MAX_WINDOW_POS;
}

// A match the fast loop has decoded but leaves to the careful copy, because it does not
// fit before the window's end; length 0 when there is none.
struct FastMatch {
  std::uint32_t length;
  std::uint32_t distance;
};

// Runs whole turns while fast_loop_may_run holds, on the ring's unread bytes up to its
// end. Leaves the record at a symbol boundary: after a match left to the careful copy in
// *match when it returns HANDLER_NEED_INPUT. Returns HANDLER_DONE at the end of the
// block, HANDLER_FAILED on an error, HANDLER_NEED_INPUT when input or window room ran
// short.
HandlerResult decode_huffman_fast(Inflater* inflater, const HuffmanEntry* literal_table,
                                  const HuffmanEntry* distance_table, std::uint32_t literal_bits,
                                  std::uint32_t distance_bits, FastMatch* match);
