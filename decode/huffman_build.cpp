// Table building: canonical codes from code lengths, laid out as a first-level table
// indexed by the next stream bits and sub-tables for the longer codes.

#include <cstdint>
#include <cstring>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/inflater_record.h"

namespace {

constexpr std::uint32_t NO_SYMBOL = 0xFFFF;

// One level of the table stack: a table of 2^width entries below `above` decoded bits,
// reached through the code bits `prefix` (the low `above` bits of its codes).
struct Level {
  HuffmanEntry* table;
  std::uint32_t above;
  std::uint32_t width;
  std::uint32_t prefix;
};

// What one build works with: the code's counts (those of the longest length including
// the codes without a symbol that complete it), the codes of each length still to be
// placed, the widths that bound the levels, the level stack and the chain of blocks.
struct Build {
  Inflater* inflater;
  std::uint32_t count[MAX_CODE_LENGTH + 1];
  std::uint32_t remaining[MAX_CODE_LENGTH + 1];
  std::uint32_t max;
  std::uint32_t limit;
  std::uint32_t end_limit;
  Level levels[MAX_CODE_LENGTH + 1];
  int depth;
  HuffmanEntry* first;
  HuffmanEntry* last_header;
};

inline HuffmanEntry make_entry(std::uint32_t symbol, std::uint32_t s, const std::uint16_t* base,
                               const std::uint8_t* extra, std::uint32_t code_bits) {
  HuffmanEntry e;
  e.code_bits = static_cast<std::uint8_t>(code_bits);
  if (symbol == NO_SYMBOL) {
    e.op = OP_INVALID;
    e.value = 0;
  } else if (symbol < s) {
    e.op = symbol < 256 ? OP_LITERAL : OP_END_OF_BLOCK;
    e.value = static_cast<std::uint16_t>(symbol);
  } else {
    e.op = extra[symbol - s];
    e.value = base[symbol - s];
  }
  return e;
}

// Opens the levels below the current one until a code of length k (its bit-reversed
// form `code`) fits. False when an allocation fails; every block of this build is then
// released.
bool open_levels(Build& b, std::uint32_t k, std::uint32_t code) {
  while (b.depth < 0 || k > b.levels[b.depth].above + b.levels[b.depth].width) {
    const std::uint32_t w = b.depth < 0 ? 0 : b.levels[b.depth].above + b.levels[b.depth].width;
    const std::uint32_t z = (b.max - w < b.limit) ? b.max - w : b.limit;
    std::uint32_t j = k - w;
    std::uint32_t f = 1u << j;
    if (f > b.remaining[k]) {
      // Widen while the longer codes do not fill the slots left, up to z bits.
      f -= b.remaining[k];
      std::uint32_t xp = k;
      for (;;) {
        ++j;
        if (j >= z) break;
        f <<= 1;
        ++xp;
        if (f <= b.count[xp]) break;
        f -= b.count[xp];
      }
    }
    if (w + j > b.end_limit && w < b.end_limit) j = b.end_limit - w;

    const std::uint32_t size = 1u << j;
    auto* block = static_cast<HuffmanEntry*>(b.inflater->allocate((size + 1) * sizeof(HuffmanEntry)));
    if (block == nullptr) {
      huffman_free_table(b.inflater, b.first);
      return false;
    }
    block[0].op = OP_INVALID;
    block[0].code_bits = 0;
    block[0].next = nullptr;
    // Every slot is written below: the left-over codes make the code complete, so
    // each slot holds a code (one of its copies) or the link to a longer code's level.
    HuffmanEntry* table = block + 1;
    if (b.first == nullptr) {
      b.first = table;
    } else {
      b.last_header->next = table;
    }
    b.last_header = block;

    const std::uint32_t prefix = code & BIT_MASK[w];
    if (b.depth >= 0) {
      const Level& parent = b.levels[b.depth];
      HuffmanEntry& link = parent.table[prefix >> parent.above];
      link.op = static_cast<std::uint8_t>(OP_LINK_BASE + j);
      link.code_bits = static_cast<std::uint8_t>(parent.width);
      link.next = table;
    }
    ++b.depth;
    b.levels[b.depth] = Level{table, w, j, prefix};
  }
  return true;
}

}  // namespace

bool huffman_order_code(const std::uint32_t* lengths, std::uint32_t n, HuffmanCodeOrder* order) {
  if (n == 0 || n > MAX_LITERAL_SYMBOLS) return false;
  // Counted into room for every length below 32, with every length OR-ed together, so
  // that a length beyond the longest shows after the loop rather than in a test per
  // length.
  std::uint32_t count[32] = {};
  std::uint32_t all = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    all |= lengths[i];
    ++count[lengths[i] & 31];
  }
  if (all > 31) return false;
  for (std::uint32_t k = MAX_CODE_LENGTH + 1; k < 32; ++k) {
    if (count[k] != 0) return false;
  }
  // The symbols without a code go after those with one, so that every symbol takes a
  // place without a test.
  std::uint32_t offset[MAX_CODE_LENGTH + 1];
  offset[1] = 0;
  for (std::uint32_t k = 1; k < MAX_CODE_LENGTH; ++k) offset[k + 1] = offset[k] + count[k];
  offset[0] = offset[MAX_CODE_LENGTH] + count[MAX_CODE_LENGTH];
  std::uint16_t* const sorted = order->sorted;
  for (std::uint32_t i = 0; i < n; ++i) sorted[offset[lengths[i]]++] = static_cast<std::uint16_t>(i);
  std::memcpy(order->count, count, sizeof order->count);
  order->n = n;
  order->end_of_block_length = n > 256 ? lengths[256] : 0;
  return true;
}

HuffmanBuildResult huffman_build_table(Inflater* inflater, const std::uint32_t* lengths, std::uint32_t n,
                                       std::uint32_t s, const std::uint16_t* base, const std::uint8_t* extra,
                                       HuffmanEntry** table_out, std::uint32_t* lookup_bits) {
  // Arguments outside the alphabet sizes of the format are refused like an impossible
  // code: nothing is allocated.
  HuffmanCodeOrder order;
  if (!huffman_order_code(lengths, n, &order)) return HUFFMAN_OVERSUBSCRIBED;
  return huffman_build_ordered(inflater, order, s, base, extra, table_out, lookup_bits);
}

HuffmanBuildResult huffman_build_ordered(Inflater* inflater, const HuffmanCodeOrder& order, std::uint32_t s,
                                         const std::uint16_t* base, const std::uint8_t* extra,
                                         HuffmanEntry** table_out, std::uint32_t* lookup_bits) {
  if (order.count[0] == order.n) {
    *table_out = nullptr;
    *lookup_bits = 0;
    return HUFFMAN_COMPLETE;
  }

  Build b;
  b.inflater = inflater;
  std::memcpy(b.count, order.count, sizeof b.count);
  std::uint32_t min = 1;
  while (b.count[min] == 0) ++min;
  b.max = MAX_CODE_LENGTH;
  while (b.count[b.max] == 0) --b.max;
  const std::uint32_t max = b.max;
  b.limit = *lookup_bits;
  if (b.limit < min) b.limit = min;
  if (b.limit > max) b.limit = max;

  // Kraft check in units of the current length; what is left over at the longest length
  // becomes codes without a symbol, so that every table slot is defined.
  std::int32_t left = 1 << min;
  for (std::uint32_t k = min; k < max; ++k) {
    left -= static_cast<std::int32_t>(b.count[k]);
    if (left < 0) return HUFFMAN_OVERSUBSCRIBED;
    left <<= 1;
  }
  left -= static_cast<std::int32_t>(b.count[max]);
  if (left < 0) return HUFFMAN_OVERSUBSCRIBED;
  const std::uint32_t real_at_max = b.count[max];
  b.count[max] += static_cast<std::uint32_t>(left);

  // The level holding the end-of-block code ends at that code's last bit, so recognising
  // it never needs bits that follow it.
  b.end_limit = order.n > 256 ? order.end_of_block_length : MAX_CODE_LENGTH;

  std::memcpy(b.remaining, b.count, sizeof b.remaining);
  b.depth = -1;
  b.first = nullptr;
  b.last_header = nullptr;
  // The canonical code as the format writes it, first bit highest (one more within a
  // length, a bit appended from one length to the next), and as the tables are indexed.
  std::uint32_t canonical = 0;
  std::uint32_t code = 0;
  const std::uint16_t* next_sorted = order.sorted;

  // The codes that fit the first level, shortest first. Going one bit longer doubles the
  // part of the table filled so far onto its own end, which gives every shorter code its
  // copies; each code then takes its own slot, which no shorter one holds. The first
  // level's slots left at its full width are the links to the longer codes' levels.
  if (!open_levels(b, min, code)) return HUFFMAN_OUT_OF_MEMORY;
  HuffmanEntry* const top = b.levels[0].table;
  const std::uint32_t top_width = b.levels[0].width;
  for (std::uint32_t i = 0; i < (1u << min); ++i) top[i] = HuffmanEntry{OP_INVALID, 0, {0}};
  for (std::uint32_t k = min; k <= top_width; ++k) {
    if (k > min) {
      std::memcpy(top + (1u << (k - 1)), top, (std::size_t{1} << (k - 1)) * sizeof(HuffmanEntry));
      canonical <<= 1;
    }
    // The codes without a symbol come last, at the longest length.
    const std::uint32_t real = k == max ? real_at_max : b.count[k];
    for (std::uint32_t c = 0; c < b.count[k]; ++c, ++canonical) {
      top[huffman_reversed_code(canonical, k)] =
          make_entry(c < real ? std::uint32_t{*next_sorted++} : NO_SYMBOL, s, base, extra, k);
    }
    b.remaining[k] = 0;
  }

  // The longer codes, through the levels below: each code fills the slots of its level
  // that share its bits, and once the code's low bits leave a level's prefix the build
  // goes back up to the level that holds them.
  for (std::uint32_t k = top_width + 1; k <= max; ++k) {
    canonical <<= 1;
    code = huffman_reversed_code(canonical, k);
    const std::uint32_t real = k == max ? real_at_max : b.count[k];
    for (std::uint32_t c = 0; c < b.count[k]; ++c) {
      if (k > b.levels[b.depth].above + b.levels[b.depth].width && !open_levels(b, k, code)) {
        return HUFFMAN_OUT_OF_MEMORY;
      }
      const Level& level = b.levels[b.depth];
      const std::uint32_t w = level.above;
      const HuffmanEntry e = make_entry(c < real ? std::uint32_t{*next_sorted++} : NO_SYMBOL, s, base, extra, k - w);
      const std::uint32_t step = 1u << (k - w);
      const std::uint32_t size = 1u << level.width;
      for (std::uint32_t i = code >> w; i < size; i += step) level.table[i] = e;
      --b.remaining[k];

      code = huffman_reversed_code(++canonical, k);
      while (b.depth > 0 && (code & BIT_MASK[b.levels[b.depth].above]) != b.levels[b.depth].prefix) --b.depth;
    }
  }

  *table_out = b.first;
  *lookup_bits = b.levels[0].width;
  return (left != 0 && max != 1) ? HUFFMAN_INCOMPLETE : HUFFMAN_COMPLETE;
}

int huffman_free_table(Inflater* inflater, HuffmanEntry* table) {
  while (table != nullptr) {
    HuffmanEntry* block = table - 1;
    HuffmanEntry* next = block->next;
    inflater->release(block);
    table = next;
  }
  return 0;
}
