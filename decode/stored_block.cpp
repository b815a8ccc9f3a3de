// Stored blocks: the LEN/NLEN header and the copy of the block's bytes into the window.

#include <cstdint>
#include <cstring>

#include "decode/bit_reader.h"
#include "decode/inflater_record.h"
#include "decode/stored_block.h"

HandlerResult read_stored_header(Inflater* f) {
  BitReader b = bits_load(f);
  bits_save(f, b);
  bits_drop(b, b.count & 7);
  if (!bits_need(f, b, 16)) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  const std::uint32_t len = bits_take(b, 16);
  if (!bits_need(f, b, 16)) {
    bits_rollback(f, b);
    return HANDLER_NEED_INPUT;
  }
  const std::uint32_t nlen = bits_peek(b, 16);
  if (len != (~nlen & 0xFFFFu)) return HANDLER_FAILED;
  bits_drop(b, 16);
  f->stored_left = len;
  bits_store(f, b);
  return HANDLER_DONE;
}

HandlerResult copy_stored_bytes(Inflater* f) {
  BitReader b = bits_load(f);
  while (f->stored_left > 0) {
    if (b.count == 0) {
      // Byte-aligned with nothing held: copy straight from the ring in the largest run
      // that neither wraps the ring nor passes the window's end.
      std::uint32_t run = f->stored_left;
      const std::uint32_t at = b.ring_read & RING_MASK;
      if (run > b.ring_count) run = b.ring_count;
      if (run > RING_SIZE - at) run = RING_SIZE - at;
      if (run > WINDOW_SIZE - f->window_pos) run = WINDOW_SIZE - f->window_pos;
      if (run == 0) break;
      std::memcpy(f->window + f->window_pos, f->ring + at, run);
      b.ring_read += run;
      b.ring_count -= run;
      f->window_pos += run;
      f->stored_left -= run;
    } else {
      if (!bits_need(f, b, 8)) break;
      f->window[f->window_pos++] = static_cast<unsigned char>(bits_take(b, 8));
      --f->stored_left;
    }
    if (f->window_pos == WINDOW_SIZE) {
      bits_store(f, b);
      if (inflater_deliver(f) != HANDLER_DONE) return HANDLER_FAILED;
    }
  }
  // Every byte copied is final: running dry keeps them.
  bits_store(f, b);
  return f->stored_left == 0 ? HANDLER_DONE : HANDLER_NEED_INPUT;
}
