// The table-building handlers: the fixed code of block type 1 and the code-length header
// of block type 2. Both leave two tables in the record for the block's data.

#include <cstdint>

#include "decode/bit_reader.h"
#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/inflater_record.h"

namespace {

// Builds the block's distance table from its code lengths and, when that works, hands
// both tables to the record for the block's data. An incomplete distance code is
// accepted (its spare patterns decode as invalid); on any other failure the literal/
// length table, which nothing else holds yet, is released here.
int store_block_tables(Inflater* f, HuffmanEntry* literal, std::uint32_t literal_bits,
                       const std::uint32_t* distance_lengths, std::uint32_t distance_count,
                       std::uint32_t requested_distance_bits) {
  HuffmanEntry* distance = nullptr;
  std::uint32_t distance_bits = requested_distance_bits;
  const int r = huffman_build_table(f, distance_lengths, distance_count, 0, DISTANCE_BASE, DISTANCE_EXTRA,
                                    &distance, &distance_bits);
  if (r != HUFFMAN_COMPLETE && r != HUFFMAN_INCOMPLETE) {
    huffman_free_table(f, literal);
    return r;
  }
  f->literal_table = literal;
  f->distance_table = distance;
  f->literal_bits = literal_bits;
  f->distance_bits = distance_bits;
  return HANDLER_DONE;
}

}  // namespace

int setup_fixed_tables(Inflater* f) {
  std::uint32_t lengths[FIXED_LITERAL_SYMBOLS];
  for (std::uint32_t i = 0; i < FIXED_LITERAL_SYMBOLS; ++i) {
    lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  }
  HuffmanEntry* literal = nullptr;
  std::uint32_t literal_bits = FIXED_LITERAL_BITS;
  int r = huffman_build_table(f, lengths, FIXED_LITERAL_SYMBOLS, LENGTH_SYMBOL_FIRST, LENGTH_BASE,
                              LENGTH_EXTRA, &literal, &literal_bits);
  if (r != HUFFMAN_COMPLETE) {
    if (r == HUFFMAN_INCOMPLETE) huffman_free_table(f, literal);
    return r;
  }

  // 30 five-bit codes: the two spare patterns decode as invalid, so the build reports an
  // incomplete code, which is expected here.
  for (std::uint32_t i = 0; i < FIXED_DISTANCE_SYMBOLS; ++i) lengths[i] = 5;
  return store_block_tables(f, literal, literal_bits, lengths, FIXED_DISTANCE_SYMBOLS, FIXED_DISTANCE_BITS);
}

namespace {

// Reads the nl + nd code lengths with the code-length code. Returns HANDLER_NEED_INPUT,
// HANDLER_DONE or HANDLER_FAILED (a repeat past the last length, an invalid pattern).
int read_code_lengths(const Inflater* f, BitReader& b, const HuffmanEntry* table, std::uint32_t width,
                      std::uint32_t* lengths, std::uint32_t total) {
  std::uint32_t previous = 0;
  std::uint32_t i = 0;
  while (i < total) {
    const HuffmanEntry* e = bits_lookup(f, b, table, width);
    if (e == nullptr) return HANDLER_NEED_INPUT;
    // A single one-bit code leaves its other pattern without a symbol.
    if (e->op != OP_LITERAL) return HANDLER_FAILED;
    bits_drop(b, e->code_bits);
    const std::uint32_t symbol = e->value;
    if (symbol < 16) {
      lengths[i++] = symbol;
      previous = symbol;
      continue;
    }
    std::uint32_t repeat = 0;
    std::uint32_t length = 0;
    if (symbol == 16) {
      if (!bits_need(f, b, 2)) return HANDLER_NEED_INPUT;
      repeat = 3 + bits_take(b, 2);
      length = previous;
    } else if (symbol == 17) {
      if (!bits_need(f, b, 3)) return HANDLER_NEED_INPUT;
      repeat = 3 + bits_take(b, 3);
    } else {
      if (!bits_need(f, b, 7)) return HANDLER_NEED_INPUT;
      repeat = 11 + bits_take(b, 7);
    }
    if (repeat > total - i) return HANDLER_FAILED;
    for (std::uint32_t r = 0; r < repeat; ++r) lengths[i++] = length;
    previous = length;
  }
  return HANDLER_DONE;
}

}  // namespace

int read_dynamic_tables(Inflater* f) {
  BitReader b = bits_load(f);
  bits_save(f, b);

  if (!bits_need(f, b, 14)) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  const std::uint32_t nl = bits_take(b, 5) + 257;
  const std::uint32_t nd = bits_take(b, 5) + 1;
  const std::uint32_t nc = bits_take(b, 4) + 4;
  if (nl > MAX_LITERAL_SYMBOLS || nd > MAX_DISTANCE_SYMBOLS) return HANDLER_FAILED;

  std::uint32_t lengths[MAX_LITERAL_SYMBOLS + MAX_DISTANCE_SYMBOLS] = {};
  for (std::uint32_t i = 0; i < nc; ++i) {
    if (!bits_need(f, b, 3)) {
      bits_rollback(f, b);
      return HANDLER_NEED_INPUT;
    }
    lengths[CODE_LENGTH_ORDER[i]] = bits_take(b, 3);
  }

  HuffmanEntry* code_table = nullptr;
  std::uint32_t code_bits = CODE_LENGTH_BITS;
  int r = huffman_build_table(f, lengths, CODE_LENGTH_SYMBOLS, CODE_LENGTH_SYMBOLS, nullptr, nullptr,
                              &code_table, &code_bits);
  if (r == HUFFMAN_INCOMPLETE) {
    huffman_free_table(f, code_table);
    return HANDLER_FAILED;
  }
  if (r != HUFFMAN_COMPLETE) return r;
  // No code-length code at all: no length can be read.
  if (code_table == nullptr) return HANDLER_FAILED;

  const int lengths_result = read_code_lengths(f, b, code_table, code_bits, lengths, nl + nd);
  huffman_free_table(f, code_table);
  if (lengths_result == HANDLER_NEED_INPUT) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  if (lengths_result != HANDLER_DONE) return lengths_result;
  bits_store(f, b);

  HuffmanEntry* literal = nullptr;
  std::uint32_t literal_bits = DYNAMIC_LITERAL_BITS;
  r = huffman_build_table(f, lengths, nl, LENGTH_SYMBOL_FIRST, LENGTH_BASE, LENGTH_EXTRA, &literal,
                          &literal_bits);
  if (r == HUFFMAN_INCOMPLETE) {
    huffman_free_table(f, literal);
    return HANDLER_FAILED;
  }
  if (r != HUFFMAN_COMPLETE) return r;
  // No literal/length code: not even the end of the block can be decoded.
  if (literal == nullptr) return HANDLER_FAILED;

  return store_block_tables(f, literal, literal_bits, lengths + nl, nd, DYNAMIC_DISTANCE_BITS);
}
