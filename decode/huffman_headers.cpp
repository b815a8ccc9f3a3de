// The table-building handlers: the fixed code of block type 1 and the code-length header
// of block type 2. Both leave the block's tables in the record for its data.

#include <cstdint>

#include "decode/bit_reader.h"
#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/huffman_fast.h"
#include "decode/inflater_record.h"

namespace {

// Builds the block's tables from its code lengths and hands them to the record for the
// block's data: the literal/length and distance HuffmanEntry tables and the fast loop's
// tables. The literal/length code must be complete and not empty (without it not even the
// end of the block can be decoded); an incomplete distance code is accepted (its spare
// patterns decode as invalid), and so is none at all (a block of literals only). On a
// failure nothing built here stays allocated.
HandlerResult build_block_tables(Inflater* f, const std::uint32_t* literal_lengths, std::uint32_t literal_count,
                                 std::uint32_t requested_literal_bits, const std::uint32_t* distance_lengths,
                                 std::uint32_t distance_count, std::uint32_t requested_distance_bits) {
  HuffmanEntry* literal = nullptr;
  std::uint32_t literal_bits = requested_literal_bits;
  HuffmanBuildResult r = huffman_build_table(f, literal_lengths, literal_count, LENGTH_SYMBOL_FIRST, LENGTH_BASE,
                                             LENGTH_EXTRA, &literal, &literal_bits);
  if (r == HUFFMAN_INCOMPLETE) huffman_free_table(f, literal);
  if (r != HUFFMAN_COMPLETE) return huffman_handler_failure(r);
  if (literal == nullptr) return HANDLER_FAILED;

  HuffmanEntry* distance = nullptr;
  std::uint32_t distance_bits = requested_distance_bits;
  r = huffman_build_table(f, distance_lengths, distance_count, 0, DISTANCE_BASE, DISTANCE_EXTRA, &distance,
                          &distance_bits);
  if (r != HUFFMAN_COMPLETE && r != HUFFMAN_INCOMPLETE) {
    huffman_free_table(f, literal);
    return huffman_handler_failure(r);
  }
  if (!fast_tables_build(f, literal_lengths, literal_count, distance_lengths, distance_count)) {
    huffman_free_table(f, literal);
    huffman_free_table(f, distance);
    return HANDLER_OUT_OF_MEMORY;
  }
  f->literal_table = literal;
  f->distance_table = distance;
  f->literal_bits = literal_bits;
  f->distance_bits = distance_bits;
  return HANDLER_DONE;
}

}  // namespace

HandlerResult setup_fixed_tables(Inflater* f) {
  std::uint32_t literal_lengths[FIXED_LITERAL_SYMBOLS];
  for (std::uint32_t i = 0; i < FIXED_LITERAL_SYMBOLS; ++i) {
    literal_lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  }
  // 30 five-bit codes: the two spare patterns decode as invalid, so the build reports an
  // incomplete code, which is expected here.
  std::uint32_t distance_lengths[FIXED_DISTANCE_SYMBOLS];
  for (std::uint32_t i = 0; i < FIXED_DISTANCE_SYMBOLS; ++i) distance_lengths[i] = 5;
  return build_block_tables(f, literal_lengths, FIXED_LITERAL_SYMBOLS, FIXED_LITERAL_BITS, distance_lengths,
                            FIXED_DISTANCE_SYMBOLS, FIXED_DISTANCE_BITS);
}

namespace {

// Reads the nl + nd code lengths with the code-length code. Returns HANDLER_NEED_INPUT,
// HANDLER_DONE or HANDLER_FAILED (a repeat past the last length, an invalid pattern).
HandlerResult read_code_lengths(const Inflater* f, BitReader& b, const HuffmanEntry* table, std::uint32_t width,
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
    if (symbol < CODE_LENGTH_REPEAT_FIRST) {
      lengths[i++] = symbol;
      previous = symbol;
      continue;
    }
    // 16 repeats the previous length, 17 and 18 repeat zero.
    const std::uint32_t kind = symbol - CODE_LENGTH_REPEAT_FIRST;
    if (!bits_need(f, b, CODE_LENGTH_REPEAT_EXTRA[kind])) return HANDLER_NEED_INPUT;
    const std::uint32_t repeat = CODE_LENGTH_REPEAT_SHORTEST[kind] + bits_take(b, CODE_LENGTH_REPEAT_EXTRA[kind]);
    const std::uint32_t length = symbol == CODE_LENGTH_REPEAT_FIRST ? previous : 0;
    if (repeat > total - i) return HANDLER_FAILED;
    for (std::uint32_t r = 0; r < repeat; ++r) lengths[i++] = length;
    previous = length;
  }
  return HANDLER_DONE;
}

}  // namespace

HandlerResult read_dynamic_tables(Inflater* f) {
  BitReader b = bits_load(f);
  bits_save(f, b);

  if (!bits_need(f, b, DYNAMIC_COUNT_BITS)) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  const std::uint32_t nl = bits_take(b, 5) + 257;
  const std::uint32_t nd = bits_take(b, 5) + 1;
  const std::uint32_t nc = bits_take(b, 4) + 4;
  if (nl > MAX_LITERAL_SYMBOLS || nd > MAX_DISTANCE_SYMBOLS) return HANDLER_FAILED;

  std::uint32_t lengths[MAX_LITERAL_SYMBOLS + MAX_DISTANCE_SYMBOLS] = {};
  for (std::uint32_t i = 0; i < nc; ++i) {
    if (!bits_need(f, b, CODE_LENGTH_LENGTH_BITS)) {
      bits_rollback(f, b);
      return HANDLER_NEED_INPUT;
    }
    lengths[CODE_LENGTH_ORDER[i]] = bits_take(b, CODE_LENGTH_LENGTH_BITS);
  }

  HuffmanEntry* code_table = nullptr;
  std::uint32_t code_bits = CODE_LENGTH_BITS;
  const HuffmanBuildResult r = huffman_build_table(f, lengths, CODE_LENGTH_SYMBOLS, CODE_LENGTH_SYMBOLS, nullptr,
                                                   nullptr, &code_table, &code_bits);
  if (r == HUFFMAN_INCOMPLETE) huffman_free_table(f, code_table);
  if (r != HUFFMAN_COMPLETE) return huffman_handler_failure(r);
  // No code-length code at all: no length can be read.
  if (code_table == nullptr) return HANDLER_FAILED;

  const HandlerResult lengths_result = read_code_lengths(f, b, code_table, code_bits, lengths, nl + nd);
  huffman_free_table(f, code_table);
  if (lengths_result == HANDLER_NEED_INPUT) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  if (lengths_result != HANDLER_DONE) return lengths_result;
  bits_store(f, b);
  return build_block_tables(f, lengths, nl, DYNAMIC_LITERAL_BITS, lengths + nl, nd, DYNAMIC_DISTANCE_BITS);
}
