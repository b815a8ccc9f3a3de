// Decoding of a Huffman-coded block's data, symbol by symbol. Each symbol is a rollback
// point: when the input runs out inside one, it is read again whole on a later call, and
// only finished symbols ever reach the window. The common case runs in the fast loop
// (huffman_fast.cpp); this careful path takes over near the end of the input held in the
// ring and near the end of the window, where a copy may have to deliver midway.

#include <cstdint>

#include "decode/bit_reader.h"
#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/huffman_fast.h"
#include "decode/inflater_record.h"
#include "decode/window_copy.h"

namespace {

// Decodes one code of a table set, walking the sub-tables. Null with *failed clear when
// the input ran out, null with *failed set on an invalid pattern.
const HuffmanEntry* decode_code(const Inflater* f, BitReader& b, const HuffmanEntry* table,
                                std::uint32_t width, bool* failed) {
  const HuffmanEntry* e = bits_lookup(f, b, table, width);
  while (e != nullptr && e->op > OP_LINK_BASE) {
    if (e->op == OP_INVALID) {
      *failed = true;
      return nullptr;
    }
    bits_drop(b, e->code_bits);
    e = bits_lookup(f, b, e->next, e->op - OP_LINK_BASE);
  }
  return e;
}

// Copies a match into the window in pieces that end at the window's end, delivering
// whenever the window fills.
HandlerResult copy_match(Inflater* f, std::uint32_t length, std::uint32_t distance) {
  std::uint32_t src = (f->window_pos - distance) & WINDOW_MASK;
  while (length > 0) {
    src &= WINDOW_MASK;
    const std::uint32_t wp = f->window_pos;
    std::uint32_t piece = WINDOW_SIZE - (src > wp ? src : wp);
    if (piece > length) piece = length;
    window_copy_forward(f->window, wp, src, piece);
    f->window_pos = wp + piece;
    src += piece;
    length -= piece;
    if (f->window_pos == WINDOW_SIZE && inflater_deliver(f) != HANDLER_DONE) return HANDLER_FAILED;
  }
  return HANDLER_DONE;
}

}  // namespace

HandlerResult decode_huffman_data(Inflater* f, const HuffmanEntry* literal_table,
                                  const HuffmanEntry* distance_table, std::uint32_t literal_bits,
                                  std::uint32_t distance_bits) {
  for (;;) {
    if (fast_loop_may_run(f)) {
      FastMatch match;
      const HandlerResult r =
          decode_huffman_fast(f, literal_table, distance_table, literal_bits, distance_bits, &match);
      if (r != HANDLER_NEED_INPUT) return r;
      // A match that the window's end cuts: copied here, delivering on the way.
      if (match.length != 0) {
        if (copy_match(f, match.length, match.distance) != HANDLER_DONE) return HANDLER_FAILED;
        continue;
      }
    }

    BitReader b = bits_load(f);
    bits_save(f, b);
    bool failed = false;

    const HuffmanEntry* e = decode_code(f, b, literal_table, literal_bits, &failed);
    if (failed) return HANDLER_FAILED;
    if (e == nullptr) break;
    bits_drop(b, e->code_bits);

    if (e->op == OP_LITERAL) {
      f->window[f->window_pos++] = static_cast<unsigned char>(e->value);
      bits_store(f, b);
      if (f->window_pos == WINDOW_SIZE && inflater_deliver(f) != HANDLER_DONE) return HANDLER_FAILED;
      continue;
    }
    if (e->op == OP_END_OF_BLOCK) {
      bits_store(f, b);
      return HANDLER_DONE;
    }
    if (e->op > OP_MAX_EXTRA) return HANDLER_FAILED;

    if (!bits_need(f, b, e->op)) break;
    const std::uint32_t length = e->value + bits_take(b, e->op);

    // A block without distance codes may hold literals only.
    if (distance_table == nullptr) return HANDLER_FAILED;
    e = decode_code(f, b, distance_table, distance_bits, &failed);
    if (failed) return HANDLER_FAILED;
    if (e == nullptr) break;
    bits_drop(b, e->code_bits);
    if (e->op > OP_MAX_EXTRA) return HANDLER_FAILED;
    if (!bits_need(f, b, e->op)) break;
    const std::uint32_t distance = e->value + bits_take(b, e->op);
    if (!inflater_distance_ok(f, f->window_pos, distance)) return HANDLER_FAILED;

    bits_store(f, b);
    if (copy_match(f, length, distance) != HANDLER_DONE) return HANDLER_FAILED;
  }

  // The input ran out inside a symbol: it is read again whole once more input is there.
  BitReader rolled = bits_load(f);
  bits_rollback(f, rolled);
  return HANDLER_NEED_INPUT;
}
