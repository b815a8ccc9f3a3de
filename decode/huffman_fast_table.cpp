// The fast loop's one-level tables, built from a block's code lengths beside its
// HuffmanEntry tables. Every slot starts as FAST_SLOW, so that whatever the fast table
// does not resolve itself (codes longer than it, end of block, symbols without meaning,
// spare patterns of an incomplete code) goes to the careful tables, which decide it
// exactly as the careful path does.

#include <cstdint>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/huffman_fast.h"
#include "decode/inflater_record.h"

namespace {

std::uint32_t reverse_bits(std::uint32_t code, std::uint32_t length) {
  std::uint32_t reversed = 0;
  for (std::uint32_t i = 0; i < length; ++i) reversed |= ((code >> i) & 1u) << (length - 1 - i);
  return reversed;
}

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

// Fills a table of 2^width slots for the canonical code of the lengths; returns width,
// lowered to the longest code.
std::uint32_t fill(FastEntry* table, std::uint32_t width, const std::uint32_t* lengths, std::uint32_t n,
                   FastEntry (*entry)(std::uint32_t symbol, std::uint32_t length)) {
  std::uint32_t count[MAX_CODE_LENGTH + 1] = {};
  std::uint32_t longest = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    ++count[lengths[i]];
    if (lengths[i] > longest) longest = lengths[i];
  }
  if (width > longest) width = longest;
  const std::uint32_t size = 1u << width;
  for (std::uint32_t i = 0; i < size; ++i) table[i] = FAST_SLOW;

  // First canonical code of each length (RFC 1951 section 3.2.2).
  std::uint32_t next[MAX_CODE_LENGTH + 1] = {};
  count[0] = 0;
  std::uint32_t code = 0;
  for (std::uint32_t k = 1; k <= MAX_CODE_LENGTH; ++k) {
    code = (code + count[k - 1]) << 1;
    next[k] = code;
  }
  for (std::uint32_t symbol = 0; symbol < n; ++symbol) {
    const std::uint32_t k = lengths[symbol];
    if (k == 0) continue;
    const std::uint32_t reversed = reverse_bits(next[k]++, k);
    // Longer codes keep FAST_SLOW in the slot of their first `width` bits.
    if (k > width) continue;
    const FastEntry e = entry(symbol, k);
    for (std::uint32_t i = reversed; i < size; i += 1u << k) table[i] = e;
  }
  return width;
}

}  // namespace

bool fast_tables_build(Inflater* f, const std::uint32_t* literal_lengths, std::uint32_t literal_count,
                       const std::uint32_t* distance_lengths, std::uint32_t distance_count) {
  auto* block = static_cast<FastEntry*>(f->allocate(FAST_TABLE_ENTRIES * sizeof(FastEntry)));
  if (block == nullptr) return false;
  f->fast_literal_bits = fill(block, FAST_LITERAL_BITS, literal_lengths, literal_count, literal_entry);
  FastEntry* distance = block + (1u << FAST_LITERAL_BITS);
  f->fast_distance_bits = fill(distance, FAST_DISTANCE_BITS, distance_lengths, distance_count, distance_entry);
  f->fast_tables = block;
  return true;
}

void fast_tables_release(Inflater* f) {
  if (f->fast_tables != nullptr) f->release(f->fast_tables);
  f->fast_tables = nullptr;
}
