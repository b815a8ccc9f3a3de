#pragma once
// Bit reading for the careful (byte-at-a-time) paths of the handlers. A handler loads the
// record's bit state into a BitReader, reads from it, and stores it back when it returns
// 0 or -1. Bytes are pulled from the ring only when a read needs them, so the state can
// stop at any bit and be saved or rolled back as four plain numbers.

#include <cstdint>

#include "decode/deflate_tables.h"
#include "decode/inflater_record.h"

struct BitReader {
  std::uint32_t buffer;  // bits not yet used; zero above `count`
  std::uint32_t count;
  std::uint32_t ring_read;
  std::uint32_t ring_count;
};

inline BitReader bits_load(const Inflater* f) {
  return BitReader{f->bit_buffer, f->bit_count, f->ring_read, f->ring_count};
}

inline void bits_store(Inflater* f, const BitReader& b) {
  f->bit_buffer = b.buffer;
  f->bit_count = b.count;
  f->ring_read = b.ring_read;
  f->ring_count = b.ring_count;
}

// Snapshot at the start of an element; the ring is not written while a handler runs, so
// every byte taken since the snapshot is still there to be taken again.
inline void bits_save(Inflater* f, const BitReader& b) {
  f->saved_bit_buffer = b.buffer;
  f->saved_bit_count = b.count;
  f->saved_ring_read = b.ring_read;
  f->saved_ring_count = b.ring_count;
}

// Back to the last snapshot, in the record and in the reader.
inline void bits_rollback(Inflater* f, BitReader& b) {
  b = BitReader{f->saved_bit_buffer, f->saved_bit_count, f->saved_ring_read, f->saved_ring_count};
  bits_store(f, b);
}

// Pulls bytes until n bits (n <= 24) are held; false when the ring runs dry first. The
// bytes pulled so far stay in the buffer.
inline bool bits_need(const Inflater* f, BitReader& b, std::uint32_t n) {
  while (b.count < n) {
    if (b.ring_count == 0) return false;
    b.buffer |= static_cast<std::uint32_t>(f->ring[b.ring_read & RING_MASK]) << b.count;
    ++b.ring_read;
    --b.ring_count;
    b.count += 8;
  }
  return true;
}

inline std::uint32_t bits_peek(const BitReader& b, std::uint32_t n) { return b.buffer & BIT_MASK[n]; }

inline void bits_drop(BitReader& b, std::uint32_t n) {
  b.buffer >>= n;
  b.count -= n;
}

inline std::uint32_t bits_take(BitReader& b, std::uint32_t n) {
  const std::uint32_t v = bits_peek(b, n);
  bits_drop(b, n);
  return v;
}

// Finds the entry of the next code in a table of 2^width entries. When the ring runs dry
// before width bits are held, the entry is still found if its own code bits are all
// there: a code shorter than its table fills every slot that shares those bits, and bits
// not yet pulled read as zero, so the missing bits cannot change the entry. Without this
// a short code near the end of the stream could wait for bits that never come. Returns
// none when the code itself is cut off.
inline const HuffmanEntry* bits_lookup(const Inflater* f, BitReader& b, const HuffmanEntry* table,
                                       std::uint32_t width) {
  bits_need(f, b, width);
  const HuffmanEntry* e = &table[bits_peek(b, width)];
  if (b.count >= width || e->code_bits <= b.count) return e;
  return nullptr;
}
