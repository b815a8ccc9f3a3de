#pragma once
// Multi-level Huffman decoding tables and the handlers of the Huffman-coded block states.
// Internal to the decoder; declared here so that tests can reach them.

#include <cstdint>

struct Inflater;

// Entry operations: 0..13 = length or distance with that many extra bits, END_OF_BLOCK,
// LITERAL, LINK_BASE + w = continue in a sub-table indexed by w further bits, INVALID.
constexpr std::uint8_t OP_MAX_EXTRA = 13;
constexpr std::uint8_t OP_END_OF_BLOCK = 15;
constexpr std::uint8_t OP_LITERAL = 16;
constexpr std::uint8_t OP_LINK_BASE = 16;
constexpr std::uint8_t OP_INVALID = 99;

struct HuffmanEntry {
  std::uint8_t op;
  std::uint8_t code_bits;  // bits this entry consumes; a link's is its table's width
  union {
    std::uint16_t value;       // symbol, literal byte or base length/distance
    HuffmanEntry* next;  // sub-table of a link; in a block header, the next block's table
  };
};

static_assert(sizeof(HuffmanEntry) == 2 * sizeof(void*), "an entry is two bytes of code and one slot");
static_assert(alignof(HuffmanEntry) == alignof(void*), "entries hold pointers");

// Builder results.
constexpr int HUFFMAN_COMPLETE = 0;
constexpr int HUFFMAN_INCOMPLETE = 1;
constexpr int HUFFMAN_OVERSUBSCRIBED = 2;
constexpr int HUFFMAN_OUT_OF_MEMORY = 3;

// Builds the decoding tables of a canonical code from its n code lengths (0..16, 0 = no
// code; 1 <= n <= 288). Symbols below s decode to themselves (op LITERAL below 256,
// END_OF_BLOCK from 256); symbol t >= s takes base[t - s] and op extra[t - s]. On entry
// *lookup_bits is the requested first-level width, on return the width to index it with.
// Every table block comes from the record's allocate function, chained for release.
// Returns 0 complete (or empty: *table_out = none), 1 incomplete, 2 over-subscribed
// (nothing allocated, *table_out untouched), 3 out of memory (nothing left allocated).
int huffman_build_table(Inflater* inflater, const std::uint32_t* lengths, std::uint32_t n,
                        std::uint32_t s, const std::uint16_t* base, const std::uint8_t* extra,
                        HuffmanEntry** table_out, std::uint32_t* lookup_bits);

// Releases every block of the chain that starts at table (none: nothing). Returns 0.
int huffman_free_table(Inflater* inflater, HuffmanEntry* table);

// Handlers of FIXED_HEADER, DYNAMIC_HEADER and the two Huffman data states: -1 = the
// input ran out, 0 = done, positive = error.
int setup_fixed_tables(Inflater* inflater);
int read_dynamic_tables(Inflater* inflater);
int decode_huffman_data(Inflater* inflater, const HuffmanEntry* literal_table,
                        const HuffmanEntry* distance_table, std::uint32_t literal_bits,
                        std::uint32_t distance_bits);

// What the fast loop needs before it starts a symbol: unread bytes in the ring for a
// refill, and window room for the largest step it takes between checks, two literals and
// a match of 258 bytes, plus one byte: the fast loop never fills the window itself, since
// the byte that fills it is due to be delivered at once.
constexpr std::uint32_t FAST_MIN_INPUT = 8;
constexpr std::uint32_t FAST_WINDOW_ROOM = 2 + 258 + 1;

// The fast loop inside decode_huffman_data: runs whole symbols while the ring holds
// enough input for any symbol and the window has room for any match. Leaves the record
// at a symbol boundary. Returns 0 at the end of the block, 1 on an error, and -1 when it
// stopped because input or window room ran short.
int decode_huffman_fast(Inflater* inflater, const HuffmanEntry* literal_table,
                        const HuffmanEntry* distance_table, std::uint32_t literal_bits,
                        std::uint32_t distance_bits);
