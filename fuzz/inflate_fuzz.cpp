// libFuzzer target for the streaming inflater. Input: two bytes that choose the push
// pattern, then the stream; or, when the first byte's top bit is set, plain data that
// zlib compresses first (level, strategy and window from the second byte), so that long
// well-formed streams are explored as well as damaged ones; or, when its top three bits
// are 011, a seed for the generator of valid streams with unusual codes
// (tests/support/deflate_generator.h), whose stream must decode to what it encoded. Checks, besides the sanitizers' findings: the delivery rules,
// the error latch, that every block is released, and, whenever zlib's raw inflate decodes
// the stream completely, that our decoder gives the same bytes without failing (and the
// verdict 0 when the stream has no bytes after its end). The CRC-32 runs over every
// piece delivered and over the input from its third byte on, and must agree with zlib's.

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/crc32.h"
#include "decode/inflater.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/deflate_generator.h"
#include "tests/support/zlib_reference.h"

namespace {

struct Output {
  std::vector<unsigned char> bytes;
  const CrcTable* crc_table;
  std::uint32_t crc;  // running value over the pieces as they arrive
};

int collect(void* user, const unsigned char* bytes, std::uint32_t count) {
  if (count < 1 || count > 32768) std::abort();
  auto* out = static_cast<Output*>(user);
  out->bytes.insert(out->bytes.end(), bytes, bytes + count);
  out->crc = crc_update(out->crc_table, out->crc, bytes, count);
  return 0;
}

// The CRC-32 object from the plain heap: the decoder's blocks are the ones counted.
void* heap_allocate(std::size_t size) { return std::malloc(size); }
void heap_release(void* block) { std::free(block); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 2) return 0;
  std::uint32_t rng = (static_cast<std::uint32_t>(input[0]) << 8 | input[1]) * 2654435761u + 1;
  const std::uint32_t max_push = 1u << (input[0] % 16);  // 1 to 32768
  const unsigned char* stream = input + 2;
  std::size_t stream_size = size - 2;
  std::vector<unsigned char> compressed;
  deflate_generator::Generated generated;
  const bool from_generator = (input[0] & 0xE0) == 0x60;
  if (from_generator) {
    std::uint32_t seed = 2166136261u;  // FNV-1a over the rest of the input
    for (std::size_t i = 1; i < size; ++i) seed = (seed ^ input[i]) * 16777619u;
    generated = deflate_generator::generate(seed, 1000u + 500u * input[1]);
    stream = generated.stream.data();
    stream_size = generated.stream.size();
  } else if ((input[0] & 0x80) != 0) {
    static const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    compressed = zlib_raw_deflate(stream, stream_size, input[1] % 10, strategies[(input[1] / 10) % 5],
                                  9 + (input[1] >> 5) % 7);
    stream = compressed.data();
    stream_size = compressed.size();
  }

  std::vector<unsigned char> expected;
  std::size_t consumed = 0;
  // The output bound keeps a run short when a tiny stream expands enormously.
  const int reference_ok = zlib_raw_inflate(stream, stream_size, &expected, &consumed, 64u << 20) ? 1 : 0;
  if (reference_ok == 0 && expected.size() >= (64u << 20)) return 0;

  CrcTable* crc_table = crc_table_create(heap_allocate, heap_release);
  if (crc_table == nullptr) std::abort();
  const auto input_crc = ~crc_update(crc_table, 0xFFFFFFFFu, input + 2, static_cast<std::uint32_t>(size - 2));
  if (input_crc != static_cast<std::uint32_t>(crc32(0, input + 2, static_cast<uInt>(size - 2)))) std::abort();
  Output out;
  out.crc_table = crc_table;
  out.crc = 0xFFFFFFFFu;
  counting_reset();
  Inflater* f = inflater_create(&out, collect, counting_allocate, counting_release);
  if (f == nullptr) std::abort();
  bool failed = false;
  std::size_t at = 0;
  while (at < stream_size) {
    rng = rng * 1103515245u + 12345u;
    std::uint32_t n = (rng >> 8) % (max_push + 1);
    if (n > stream_size - at) n = static_cast<std::uint32_t>(stream_size - at);
    const int r = inflater_feed(f, stream + at, n);
    at += n;
    if (failed && r == 0) std::abort();  // the latch must hold
    if (r != 0) failed = true;
    if (r != 0 && r != 1) std::abort();
    // Our decoder has no output limit; stop where the reference stopped.
    if (out.bytes.size() > (64u << 20)) break;
  }
  const int tail = inflater_feed(f, nullptr, 0);
  if (failed && tail == 0) std::abort();
  const int verdict = inflater_finish(f);
  if (failed && verdict == 0) std::abort();
  if (counting_live_blocks() != 0) std::abort();
  if (~out.crc != static_cast<std::uint32_t>(crc32(0, out.bytes.data(), static_cast<uInt>(out.bytes.size())))) {
    std::abort();
  }
  crc_table_free(crc_table);

  if (from_generator && (reference_ok == 0 || expected != generated.data)) std::abort();  // the generator's own fault
  if (from_generator && (failed || verdict != 0 || out.bytes != generated.data)) std::abort();
  if (reference_ok != 0) {
    if (failed) std::abort();
    if (out.bytes != expected) std::abort();
    if (consumed == stream_size && verdict != 0) std::abort();
  }
  if (verdict == 0 && reference_ok == 0) {
    // A stream we accept whole must also be one that zlib decodes, unless it uses what
    // zlib refuses but the format allows us: 288/32 code lengths, incomplete distance
    // codes, or a single one-bit code-length code. Those are told apart by output: zlib
    // stops early, so its output is a prefix of ours.
    if (expected.size() > out.bytes.size() ||
        !std::equal(expected.begin(), expected.end(), out.bytes.begin())) {
      std::abort();
    }
  }
  return 0;
}
