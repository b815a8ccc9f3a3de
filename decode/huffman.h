#pragma once
// Multi-level Huffman decoding tables and the handlers of the Huffman-coded block states.
// Internal to the decoder; declared here so that tests can reach them.

#include <cstdint>

#include "decode/deflate_tables.h"
#include "decode/handler_result.h"

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

// Results of the table builder.
enum HuffmanBuildResult : int {
  HUFFMAN_COMPLETE = 0,
  HUFFMAN_INCOMPLETE = 1,
  HUFFMAN_OVERSUBSCRIBED = 2,
  HUFFMAN_OUT_OF_MEMORY = 3,
};

// What a build that a handler cannot accept makes of the handler: which builds are
// acceptable (an incomplete distance code is) is each handler's own decision.
inline HandlerResult huffman_handler_failure(HuffmanBuildResult r) {
  switch (r) {
    case HUFFMAN_OVERSUBSCRIBED:
      return HANDLER_OVERSUBSCRIBED;
    case HUFFMAN_OUT_OF_MEMORY:
      return HANDLER_OUT_OF_MEMORY;
    case HUFFMAN_COMPLETE:
    case HUFFMAN_INCOMPLETE:
      break;
  }
  return HANDLER_FAILED;
}

// The symbols of a code set in canonical order, by code length and within a length by
// symbol number, with the number of codes of each length: what the table builder and the
// fast loop's tables (decode/huffman_fast.h) both start from, sorted once per set.
struct HuffmanCodeOrder {
  std::uint32_t count[MAX_CODE_LENGTH + 1];  // count[0]: symbols without a code
  std::uint32_t n;                           // symbols in the set
  std::uint32_t end_of_block_length;         // symbol 256's code length, 0 if none or n <= 256
  std::uint16_t sorted[MAX_LITERAL_SYMBOLS];  // the symbols with a code, count[1] + ... of them
};

// The bytes with their bits in reverse order, built when the program is compiled.
struct BitReversedBytes {
  std::uint8_t byte[256];
  constexpr BitReversedBytes() : byte() {
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t r = 0;
      for (std::uint32_t b = 0; b < 8; ++b) r |= ((i >> b) & 1u) << (7 - b);
      byte[i] = static_cast<std::uint8_t>(r);
    }
  }
};
inline constexpr BitReversedBytes BIT_REVERSED{};

// A canonical code of k bits (1 <= k <= 16; its first bit the highest) as the tables are
// indexed: bit-reversed, its first bit lowest, which is how it arrives in the stream.
inline std::uint32_t huffman_reversed_code(std::uint32_t code, std::uint32_t k) {
  const std::uint32_t reversed16 =
      std::uint32_t{BIT_REVERSED.byte[code & 0xFF]} << 8 | BIT_REVERSED.byte[(code >> 8) & 0xFF];
  return reversed16 >> (16 - k);
}

// Orders the n code lengths (0..16, 0 = no code; 1 <= n <= 288). False, and nothing
// written, when n or a length is outside those bounds.
bool huffman_order_code(const std::uint32_t* lengths, std::uint32_t n, HuffmanCodeOrder* order);

// Builds the decoding tables of a canonical code from its n code lengths (0..16, 0 = no
// code; 1 <= n <= 288). Symbols below s decode to themselves (op LITERAL below 256,
// END_OF_BLOCK from 256); symbol t >= s takes base[t - s] and op extra[t - s]. On entry
// *lookup_bits is the requested first-level width, on return the width to index it with.
// Every table block comes from the record's allocate function, chained for release.
// Returns 0 complete (or empty: *table_out = none), 1 incomplete, 2 over-subscribed
// (nothing allocated, *table_out untouched), 3 out of memory (nothing left allocated).
HuffmanBuildResult huffman_build_table(Inflater* inflater, const std::uint32_t* lengths, std::uint32_t n,
                                       std::uint32_t s, const std::uint16_t* base, const std::uint8_t* extra,
                                       HuffmanEntry** table_out, std::uint32_t* lookup_bits);

// The same from the lengths already ordered.
HuffmanBuildResult huffman_build_ordered(Inflater* inflater, const HuffmanCodeOrder& order, std::uint32_t s,
                                         const std::uint16_t* base, const std::uint8_t* extra,
                                         HuffmanEntry** table_out, std::uint32_t* lookup_bits);

// Releases every block of the chain that starts at table (none: nothing). Returns 0.
int huffman_free_table(Inflater* inflater, HuffmanEntry* table);

// Handlers of FIXED_HEADER, DYNAMIC_HEADER and the two Huffman data states. The table
// handlers leave both HuffmanEntry tables of the block and its fast tables in the record.
HandlerResult setup_fixed_tables(Inflater* inflater);
HandlerResult read_dynamic_tables(Inflater* inflater);
HandlerResult decode_huffman_data(Inflater* inflater, const HuffmanEntry* literal_table,
                                  const HuffmanEntry* distance_table, std::uint32_t literal_bits,
                                  std::uint32_t distance_bits);
