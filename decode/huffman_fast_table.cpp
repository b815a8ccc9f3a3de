// The fast loop's one-level tables, filled for each Huffman block from the same ordered
// code lengths as its HuffmanEntry tables. Whatever the fast table does not resolve
// itself (codes longer than it, symbols without meaning, spare patterns of an incomplete
// code, end of block) stays FAST_SLOW and goes to the careful tables, which decide it
// exactly as the careful path does.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/huffman_fast.h"
#include "decode/inflater_record.h"

namespace {

FastEntry literal_entry(std::uint32_t symbol, std::uint32_t length) {
  if (symbol < 256) return FAST_LITERAL | symbol << FAST_VALUE_SHIFT | length;
  const std::uint32_t row = symbol - LENGTH_SYMBOL_FIRST;
  if (symbol == 256 || LENGTH_EXTRA[row] == EXTRA_NO_SYMBOL) return FAST_SLOW;
  return std::uint32_t{LENGTH_BASE[row]} << FAST_VALUE_SHIFT | length << FAST_CODE_SHIFT |
         (length + LENGTH_EXTRA[row]);
}

FastEntry distance_entry(std::uint32_t symbol, std::uint32_t length) {
  if (DISTANCE_EXTRA[symbol] == EXTRA_NO_SYMBOL) return FAST_SLOW;
  return std::uint32_t{DISTANCE_BASE[symbol]} << FAST_VALUE_SHIFT | length << FAST_CODE_SHIFT |
         (length + DISTANCE_EXTRA[symbol]);
}

// Fills a table of 2^width slots for the canonical code of an ordered set. The table
// grows with the code length: it starts at the shortest code's width (or the table's, if
// that is less) with every slot FAST_SLOW, and going one bit wider copies it onto its own
// end (a shorter code fills every slot that shares its bits) before the codes of the new
// length take their own slots, which no shorter code holds. What no code up to the
// table's width takes (the first bits of longer codes, spare patterns) keeps FAST_SLOW.
// The table always ends at its full width, so that the loop indexes it with a constant
// mask.
template <FastEntry (*entry)(std::uint32_t symbol, std::uint32_t length)>
void fill(FastEntry* table, std::uint32_t width, const HuffmanCodeOrder& order) {
  std::uint32_t shortest = 1;
  while (shortest < width && order.count[shortest] == 0) ++shortest;
  for (std::uint32_t i = 0; i < (1u << shortest); ++i) table[i] = FAST_SLOW;
  // The canonical codes of the lengths below the shortest taken: none.
  std::uint32_t canonical = 0;
  const std::uint16_t* next = order.sorted;
  for (std::uint32_t k = shortest; k <= width; ++k) {
    if (k > shortest) {
      std::memcpy(table + (1u << (k - 1)), table, (std::size_t{1} << (k - 1)) * sizeof(FastEntry));
      canonical <<= 1;
    }
    for (std::uint32_t c = order.count[k]; c > 0; --c, ++canonical) {
      table[huffman_reversed_code(canonical, k)] = entry(*next++, k);
    }
  }
}

}  // namespace

bool fast_tables_build(Inflater* f, const HuffmanCodeOrder& literal, const HuffmanCodeOrder& distance) {
  if (f->fast_tables == nullptr) {
    f->fast_tables = static_cast<FastEntry*>(f->allocate(FAST_TABLE_ENTRIES * sizeof(FastEntry)));
    if (f->fast_tables == nullptr) return false;
  }
  FastEntry* const block = f->fast_tables;
  fill<literal_entry>(block, FAST_LITERAL_BITS, literal);
  fill<distance_entry>(block + FAST_DISTANCE_OFFSET, FAST_DISTANCE_BITS, distance);
  return true;
}

void fast_tables_release(Inflater* f) {
  if (f->fast_tables != nullptr) f->release(f->fast_tables);
  f->fast_tables = nullptr;
}
