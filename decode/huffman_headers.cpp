// The table-building handlers: the fixed code of block type 1 and the code-length header
// of block type 2. Both leave the block's tables in the record for its data.

#include <cstdint>
#include <cstring>

#include "decode/bit_reader.h"
#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/huffman_fast.h"
#include "decode/inflater_record.h"

namespace {

// Builds the block's tables from its code lengths and hands them to the record for the
// block's data: the literal/length and distance HuffmanEntry tables and the fast loop's
// tables, all from the same ordering of each set's lengths. The literal/length code must
// be complete and not empty (without it not even the end of the block can be decoded);
// an incomplete distance code is accepted (its spare patterns decode as invalid), and so
// is none at all (a block of literals only). On a failure nothing built here stays
// allocated.
HandlerResult build_block_tables(Inflater* f, const std::uint32_t* literal_lengths, std::uint32_t literal_count,
                                 std::uint32_t requested_literal_bits, const std::uint32_t* distance_lengths,
                                 std::uint32_t distance_count, std::uint32_t requested_distance_bits) {
  HuffmanCodeOrder literal_order;
  HuffmanCodeOrder distance_order;
  if (!huffman_order_code(literal_lengths, literal_count, &literal_order)) return HANDLER_OVERSUBSCRIBED;
  if (!huffman_order_code(distance_lengths, distance_count, &distance_order)) return HANDLER_OVERSUBSCRIBED;

  HuffmanEntry* literal = nullptr;
  std::uint32_t literal_bits = requested_literal_bits;
  HuffmanBuildResult r = huffman_build_ordered(f, literal_order, LENGTH_SYMBOL_FIRST, LENGTH_BASE, LENGTH_EXTRA,
                                               &literal, &literal_bits);
  if (r == HUFFMAN_INCOMPLETE) huffman_free_table(f, literal);
  if (r != HUFFMAN_COMPLETE) return huffman_handler_failure(r);
  if (literal == nullptr) return HANDLER_FAILED;

  HuffmanEntry* distance = nullptr;
  std::uint32_t distance_bits = requested_distance_bits;
  r = huffman_build_ordered(f, distance_order, 0, DISTANCE_BASE, DISTANCE_EXTRA, &distance, &distance_bits);
  if (r != HUFFMAN_COMPLETE && r != HUFFMAN_INCOMPLETE) {
    huffman_free_table(f, literal);
    return huffman_handler_failure(r);
  }
  if (!fast_tables_build(f, literal_order, distance_order)) {
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

// The bit reader of the code lengths: a 64-bit buffer topped up a word at a time where
// the ring holds one without wrapping, else a byte at a time. It may pull bytes before
// they are needed, since the header is rolled back whole when the input runs out; what
// it holds beyond the bits it used goes back to the BitReader's form at the end, the
// whole bytes it pulled returned to the ring.
struct LengthBits {
  std::uint64_t buffer;
  std::uint32_t count;
  std::uint32_t pulled;  // bytes taken from the ring here
};

// Enough for any code-length code with the extra bits of a repeat.
constexpr std::uint32_t LENGTH_SYMBOL_MOST_BITS = MAX_CODE_LENGTH_CODE + 7;
static_assert(CODE_LENGTH_REPEAT_EXTRA[2] == 7 && CODE_LENGTH_REPEAT_EXTRA[0] < 7 && CODE_LENGTH_REPEAT_EXTRA[1] < 7,
              "a repeat has at most 7 extra bits");

inline void length_bits_top_up(const Inflater* f, BitReader& b, LengthBits& r) {
  const std::uint32_t at = b.ring_read & RING_MASK;
  if (b.ring_count >= 8 && at <= RING_SIZE - 8) {
    std::uint64_t word;
    std::memcpy(&word, f->ring + at, sizeof word);
    const std::uint32_t n = (63 - r.count) >> 3;
    r.buffer |= word << r.count;
    r.buffer &= ~std::uint64_t{0} >> (64 - r.count - 8 * n);  // only the whole bytes taken
    r.count += 8 * n;
    r.pulled += n;
    b.ring_read += n;
    b.ring_count -= n;
    return;
  }
  while (r.count <= 56 && b.ring_count > 0) {
    r.buffer |= std::uint64_t{f->ring[b.ring_read & RING_MASK]} << r.count;
    ++b.ring_read;
    --b.ring_count;
    r.count += 8;
    ++r.pulled;
  }
}

// Reads the nl + nd code lengths with the code-length code. Returns HANDLER_NEED_INPUT,
// HANDLER_DONE or HANDLER_FAILED (a repeat past the last length, an invalid pattern).
// A code is decoded as the careful lookup does near the end of the input: with fewer
// bits than the table's width, when its own bits are all there.
HandlerResult read_code_lengths(const Inflater* f, BitReader& b, const HuffmanEntry* table, std::uint32_t width,
                                std::uint32_t* lengths, std::uint32_t total) {
  LengthBits r{b.buffer, b.count, 0};
  const std::uint32_t mask = BIT_MASK[width];
  std::uint32_t previous = 0;
  std::uint32_t i = 0;
  while (i < total) {
    if (r.count < LENGTH_SYMBOL_MOST_BITS) length_bits_top_up(f, b, r);
    const HuffmanEntry* e = &table[r.buffer & mask];
    if (e->code_bits > r.count) return HANDLER_NEED_INPUT;
    // A single one-bit code leaves its other pattern without a symbol.
    if (e->op != OP_LITERAL) return HANDLER_FAILED;
    r.buffer >>= e->code_bits;
    r.count -= e->code_bits;
    const std::uint32_t symbol = e->value;
    if (symbol < CODE_LENGTH_REPEAT_FIRST) {
      lengths[i++] = symbol;
      previous = symbol;
      continue;
    }
    // 16 repeats the previous length, 17 and 18 repeat zero.
    const std::uint32_t kind = symbol - CODE_LENGTH_REPEAT_FIRST;
    const std::uint32_t extra = CODE_LENGTH_REPEAT_EXTRA[kind];
    if (r.count < extra) return HANDLER_NEED_INPUT;
    const std::uint32_t repeat = CODE_LENGTH_REPEAT_SHORTEST[kind] + static_cast<std::uint32_t>(r.buffer & BIT_MASK[extra]);
    r.buffer >>= extra;
    r.count -= extra;
    const std::uint32_t length = symbol == CODE_LENGTH_REPEAT_FIRST ? previous : 0;
    if (repeat > total - i) return HANDLER_FAILED;
    for (std::uint32_t k = 0; k < repeat; ++k) lengths[i++] = length;
    previous = length;
  }
  // Whole bytes pulled here and not used go back; what stays is below 8 bits, or came
  // from the BitReader's own buffer and so fits in its 32.
  std::uint32_t whole = r.count >> 3;
  if (whole > r.pulled) whole = r.pulled;
  r.count -= 8 * whole;
  b.ring_read -= whole;
  b.ring_count += whole;
  b.buffer = static_cast<std::uint32_t>(r.buffer & ((std::uint64_t{1} << r.count) - 1));
  b.count = r.count;
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
