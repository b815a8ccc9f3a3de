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

// Advances a bit-reversed code of length k to the next canonical code: the reversed
// form of adding 1, carrying from bit k - 1 downwards.
std::uint32_t next_reversed_code(std::uint32_t code, std::uint32_t k) {
  std::uint32_t bit = 1u << (k - 1);
  while ((code & bit) != 0) {
    code ^= bit;
    bit >>= 1;
  }
  return bit != 0 ? code | bit : 0;
}

HuffmanEntry make_entry(std::uint32_t symbol, std::uint32_t s, const std::uint16_t* base,
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

}  // namespace

HuffmanBuildResult huffman_build_table(Inflater* inflater, const std::uint32_t* lengths, std::uint32_t n,
                                       std::uint32_t s, const std::uint16_t* base, const std::uint8_t* extra,
                                       HuffmanEntry** table_out, std::uint32_t* lookup_bits) {
  // Arguments outside the alphabet sizes of the format are refused like an impossible
  // code: nothing is allocated.
  if (n == 0 || n > MAX_LITERAL_SYMBOLS) return HUFFMAN_OVERSUBSCRIBED;

  std::uint32_t count[MAX_CODE_LENGTH + 1] = {};
  for (std::uint32_t i = 0; i < n; ++i) {
    if (lengths[i] > MAX_CODE_LENGTH) return HUFFMAN_OVERSUBSCRIBED;
    ++count[lengths[i]];
  }
  if (count[0] == n) {
    *table_out = nullptr;
    *lookup_bits = 0;
    return HUFFMAN_COMPLETE;
  }

  std::uint32_t min = 1;
  while (count[min] == 0) ++min;
  std::uint32_t max = MAX_CODE_LENGTH;
  while (count[max] == 0) --max;
  std::uint32_t limit = *lookup_bits;
  if (limit < min) limit = min;
  if (limit > max) limit = max;

  // Kraft check in units of the current length; what is left over at the longest length
  // becomes codes without a symbol, so that every table slot is defined.
  std::int32_t left = 1 << min;
  for (std::uint32_t k = min; k < max; ++k) {
    left -= static_cast<std::int32_t>(count[k]);
    if (left < 0) return HUFFMAN_OVERSUBSCRIBED;
    left <<= 1;
  }
  left -= static_cast<std::int32_t>(count[max]);
  if (left < 0) return HUFFMAN_OVERSUBSCRIBED;
  const std::uint32_t real_at_max = count[max];
  count[max] += static_cast<std::uint32_t>(left);

  // The level holding the end-of-block code ends at that code's last bit, so recognising
  // it never needs bits that follow it.
  const std::uint32_t end_limit = n > 256 ? lengths[256] : MAX_CODE_LENGTH;

  // Symbols with a code, by length and within a length by symbol number.
  std::uint16_t sorted[MAX_LITERAL_SYMBOLS];
  std::uint32_t offset[MAX_CODE_LENGTH + 2] = {};
  for (std::uint32_t k = 1; k <= MAX_CODE_LENGTH; ++k) offset[k + 1] = offset[k] + (k == max ? real_at_max : count[k]);
  for (std::uint32_t i = 0; i < n; ++i) {
    if (lengths[i] != 0) sorted[offset[lengths[i]]++] = static_cast<std::uint16_t>(i);
  }

  std::uint32_t remaining[MAX_CODE_LENGTH + 1];
  std::memcpy(remaining, count, sizeof remaining);

  Level levels[MAX_CODE_LENGTH + 1];
  int depth = -1;
  HuffmanEntry* first = nullptr;
  HuffmanEntry* last_header = nullptr;
  std::uint32_t code = 0;  // bit-reversed: the first stream bit is bit 0
  std::uint32_t next_sorted = 0;

  // Opens the levels below the current one until a code of length k fits; false when an
  // allocation fails (every block of this build is then released).
  auto open_levels = [&](std::uint32_t k) {
    while (depth < 0 || k > levels[depth].above + levels[depth].width) {
      const std::uint32_t w = depth < 0 ? 0 : levels[depth].above + levels[depth].width;
      const std::uint32_t z = (max - w < limit) ? max - w : limit;
      std::uint32_t j = k - w;
      std::uint32_t f = 1u << j;
      if (f > remaining[k]) {
        // Widen while the longer codes do not fill the slots left, up to z bits.
        f -= remaining[k];
        std::uint32_t xp = k;
        for (;;) {
          ++j;
          if (j >= z) break;
          f <<= 1;
          ++xp;
          if (f <= count[xp]) break;
          f -= count[xp];
        }
      }
      if (w + j > end_limit && w < end_limit) j = end_limit - w;

      const std::uint32_t size = 1u << j;
      auto* block = static_cast<HuffmanEntry*>(inflater->allocate((size + 1) * sizeof(HuffmanEntry)));
      if (block == nullptr) {
        huffman_free_table(inflater, first);
        return false;
      }
      block[0].op = OP_INVALID;
      block[0].code_bits = 0;
      block[0].next = nullptr;
      // Every slot is written below: the left-over codes make the code complete, so
      // each slot holds a code (one of its copies) or the link to a longer code's level.
      HuffmanEntry* table = block + 1;
      if (first == nullptr) {
        first = table;
      } else {
        last_header->next = table;
      }
      last_header = block;

      const std::uint32_t prefix = code & BIT_MASK[w];
      if (depth >= 0) {
        const Level& parent = levels[depth];
        HuffmanEntry& link = parent.table[prefix >> parent.above];
        link.op = static_cast<std::uint8_t>(OP_LINK_BASE + j);
        link.code_bits = static_cast<std::uint8_t>(parent.width);
        link.next = table;
      }
      ++depth;
      levels[depth] = Level{table, w, j, prefix};
    }
    return true;
  };
  auto next_symbol = [&](std::uint32_t k, std::uint32_t c) {
    return (k < max || c < real_at_max) ? std::uint32_t{sorted[next_sorted++]} : NO_SYMBOL;
  };

  // The codes that fit the first level, shortest first. Going one bit longer doubles the
  // part of the table filled so far onto its own end, which gives every shorter code its
  // copies; each code then takes its own slot, which no shorter one holds. The first
  // level's slots left at its full width are the links to the longer codes' levels.
  if (!open_levels(min)) return HUFFMAN_OUT_OF_MEMORY;
  HuffmanEntry* const top = levels[0].table;
  const std::uint32_t top_width = levels[0].width;
  for (std::uint32_t i = 0; i < (1u << min); ++i) top[i] = HuffmanEntry{OP_INVALID, 0, {0}};
  for (std::uint32_t k = min; k <= top_width; ++k) {
    if (k > min) std::memcpy(top + (1u << (k - 1)), top, (std::size_t{1} << (k - 1)) * sizeof(HuffmanEntry));
    for (std::uint32_t c = 0; c < count[k]; ++c) {
      top[code] = make_entry(next_symbol(k, c), s, base, extra, k);
      --remaining[k];
      code = next_reversed_code(code, k);
    }
  }

  // The longer codes, through the levels below.
  for (std::uint32_t k = top_width + 1; k <= max; ++k) {
    for (std::uint32_t c = 0; c < count[k]; ++c) {
      const std::uint32_t symbol = next_symbol(k, c);
      if (!open_levels(k)) return HUFFMAN_OUT_OF_MEMORY;
      const Level& level = levels[depth];
      const std::uint32_t w = level.above;
      const HuffmanEntry e = make_entry(symbol, s, base, extra, k - w);
      const std::uint32_t step = 1u << (k - w);
      for (std::uint32_t i = code >> w; i < (1u << level.width); i += step) level.table[i] = e;
      --remaining[k];

      code = next_reversed_code(code, k);
      while (depth > 0 && (code & BIT_MASK[levels[depth].above]) != levels[depth].prefix) --depth;
    }
  }

  *table_out = first;
  *lookup_bits = levels[0].width;
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
