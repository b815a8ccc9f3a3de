#include "tests/decode/decode_harness.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>

#include "decode/inflater_record.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/deflate_generator.h"
#include "tests/support/zlib_reference.h"

int sink_output(void* user_data, const unsigned char* bytes, std::uint32_t count) {
  auto* sink = static_cast<Sink*>(user_data);
  const Inflater* f = sink->inflater;
  if (count < 1 || count > WINDOW_SIZE) sink->violations.push_back("piece size " + std::to_string(count));
  if (f != nullptr) {
    const unsigned char* start = f->window;
    if (bytes < start || bytes + count > start + WINDOW_SIZE) sink->violations.push_back("piece outside the window");
  }
  // Within one feed, only the last piece may stop short of the window's end.
  if (!sink->last_piece_ended_window) sink->violations.push_back("a piece short of the window end was not the last of its feed");
  sink->last_piece_ended_window = f != nullptr && bytes + count == f->window + WINDOW_SIZE;
  const long index = static_cast<long>(sink->pieces.size());
  sink->pieces.push_back(count);
  ++sink->pieces_this_feed;
  if (index == sink->refuse_on_piece) return 7;
  sink->out.insert(sink->out.end(), bytes, bytes + count);
  return 0;
}

DecodeResult decode_stream(const Bytes& stream, const PushPattern& pattern, long refuse_on_piece) {
  DecodeResult result;
  Sink sink;
  sink.refuse_on_piece = refuse_on_piece;
  counting_reset();
  Inflater* f = inflater_create(&sink, sink_output, counting_allocate, counting_release);
  if (f == nullptr) {
    result.violations.push_back("create failed");
    return result;
  }
  sink.inflater = f;
  std::size_t at = 0;
  int feed_index = 0;
  // Zero-length pushes are bounded so that a pattern cannot loop for ever.
  int idle = 0;
  while (at < stream.size() && idle < 1000) {
    std::uint32_t n = pattern(stream.size() - at);
    if (n > stream.size() - at) n = static_cast<std::uint32_t>(stream.size() - at);
    idle = n == 0 ? idle + 1 : 0;
    sink.last_piece_ended_window = true;
    const int r = inflater_feed(f, stream.data() + at, n);
    at += n;
    if (r != 0 && result.first_failed_feed < 0) result.first_failed_feed = feed_index;
    if (r == 0 && f->window_pos != f->flush_pos) result.violations.push_back("a feed returned with output not delivered");
    if (r == 0 && f->error != 0) result.violations.push_back("a feed returned 0 with the error latched");
    if (r != 0 && f->error == 0) result.violations.push_back("a feed failed without latching");
    if (result.first_failed_feed >= 0 && r == 0) result.violations.push_back("a feed after a failure returned 0");
    ++feed_index;
  }
  // One empty push at the end, as a caller may do.
  sink.last_piece_ended_window = true;
  const int r = inflater_feed(f, nullptr, 0);
  if (r != 0 && result.first_failed_feed < 0) result.first_failed_feed = feed_index;
  if (result.first_failed_feed >= 0 && r == 0) result.violations.push_back("a feed after a failure returned 0");
  result.verdict = inflater_finish(f);
  if (counting_live_blocks() != 0) result.violations.push_back("blocks left allocated: " + std::to_string(counting_live_blocks()));
  if (counting_bad_releases() != 0) result.violations.push_back("foreign block released");
  result.out = std::move(sink.out);
  result.pieces = std::move(sink.pieces);
  for (auto& v : sink.violations) result.violations.push_back(v);
  return result;
}

PushPattern push_all() {
  return [](std::size_t left) { return static_cast<std::uint32_t>(left); };
}

PushPattern push_fixed(std::uint32_t size) {
  return [size](std::size_t) { return size; };
}

PushPattern push_random(std::uint32_t seed, std::uint32_t max_size) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [rng, max_size](std::size_t) {
    const std::uint32_t pick = (*rng)() % 16;
    if (pick == 0) return 0u;
    if (pick < 4) return static_cast<std::uint32_t>(1u + (*rng)() % 4);
    return static_cast<std::uint32_t>((*rng)() % (max_size + 1));
  };
}

Bytes zlib_deflate(const Bytes& data, int level, int strategy, int window_bits, int mem_level) {
  return zlib_raw_deflate(data.data(), data.size(), level, strategy, window_bits, mem_level);
}

bool zlib_inflate(const Bytes& stream, Bytes* out) { return zlib_raw_inflate(stream.data(), stream.size(), out); }

Bytes make_text(std::size_t size, std::uint32_t seed) {
  static const char* const words[] = {"the ", "installer ", "writes ", "each ", "entry ", "into ",
                                      "folder ", "Orvinta ", "\n", "decoder ", "window ", "of ",
                                      "bytes ", "and ", "returns ", "0; ", "{ ", "} ", "void ", "int "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = words[rng() % 20];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(size);
  return out;
}

Bytes make_random(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<unsigned char>(rng());
  return out;
}

Bytes make_runs(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const std::size_t run = 1 + rng() % 3000;
    out.insert(out.end(), run, static_cast<unsigned char>(rng() % 4));
  }
  out.resize(size);
  return out;
}

Bytes make_binary_like(std::size_t size, std::uint32_t seed) {
  // Records with small integers, repeated structures and some noise, like code and tables,
  // with matches reaching far back.
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const std::uint32_t kind = rng() % 4;
    if (kind == 0 && out.size() > 40000) {
      const std::size_t from = out.size() - 1 - rng() % 32768;
      const std::size_t len = 3 + rng() % 300;
      for (std::size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
    } else if (kind == 1) {
      const std::uint32_t v = rng() % 300;
      out.push_back(static_cast<unsigned char>(v));
      out.push_back(static_cast<unsigned char>(v >> 8));
      out.push_back(0);
      out.push_back(0);
    } else {
      out.push_back(static_cast<unsigned char>(rng() % 64));
    }
  }
  out.resize(size);
  return out;
}

void BitWriter::bits(std::uint32_t value, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (bit_pos % 8 == 0) bytes.push_back(0);
    if ((value >> i) & 1u) bytes.back() |= static_cast<unsigned char>(1u << (bit_pos % 8));
    ++bit_pos;
  }
}

void BitWriter::code(std::uint32_t c, std::uint32_t length) {
  for (std::uint32_t i = length; i > 0; --i) bits((c >> (i - 1)) & 1u, 1);
}

void BitWriter::align() {
  while (bit_pos % 8 != 0) bits(0, 1);
}

std::vector<std::uint32_t> canonical_codes(const std::vector<std::uint32_t>& lengths) {
  return deflate_generator::canonical(lengths);
}

namespace {

std::uint32_t length_symbol(std::uint32_t length) {
  if (length == 258) return 285;
  std::uint32_t i = 0;
  while (i + 1 < 28 && deflate_generator::LENGTH_BASE[i + 1] <= length) ++i;
  return 257 + i;
}

std::uint32_t distance_symbol(std::uint32_t distance) {
  std::uint32_t i = 0;
  while (i + 1 < 30 && deflate_generator::DISTANCE_BASE[i + 1] <= distance) ++i;
  return i;
}

}  // namespace

void write_fixed_literal(BitWriter& w, std::uint32_t symbol) {
  static const std::vector<std::uint32_t> lengths = deflate_generator::fixed_literal_lengths();
  static const std::vector<std::uint32_t> codes = canonical_codes(lengths);
  w.code(codes[symbol], lengths[symbol]);
}

void write_fixed_length(BitWriter& w, std::uint32_t length) {
  static const std::vector<std::uint32_t> lengths = deflate_generator::fixed_literal_lengths();
  static const std::vector<std::uint32_t> codes = canonical_codes(lengths);
  write_length(w, codes, lengths, length);
}

void write_fixed_distance(BitWriter& w, std::uint32_t distance) {
  const std::uint32_t s = distance_symbol(distance);
  w.code(s, 5);
  w.bits(distance - deflate_generator::DISTANCE_BASE[s], deflate_generator::DISTANCE_EXTRA[s]);
}

void write_length(BitWriter& w, const std::vector<std::uint32_t>& codes, const std::vector<std::uint32_t>& lengths,
                  std::uint32_t length) {
  const std::uint32_t s = length_symbol(length);
  w.code(codes[s], lengths[s]);
  w.bits(length - deflate_generator::LENGTH_BASE[s - 257], deflate_generator::LENGTH_EXTRA[s - 257]);
}

void write_distance(BitWriter& w, const std::vector<std::uint32_t>& codes, const std::vector<std::uint32_t>& lengths,
                    std::uint32_t distance) {
  const std::uint32_t s = distance_symbol(distance);
  w.code(codes[s], lengths[s]);
  w.bits(distance - deflate_generator::DISTANCE_BASE[s], deflate_generator::DISTANCE_EXTRA[s]);
}

void write_dynamic_header(BitWriter& w, const std::vector<std::uint32_t>& literal_lengths,
                          const std::vector<std::uint32_t>& distance_lengths) {
  // Code-length code: all 19 symbols with length 5 would over-subscribe; 16 symbols of
  // length 4 (0..15) are complete and suffice for plain lengths.
  std::vector<std::uint32_t> cl(19, 0);
  for (int i = 0; i < 16; ++i) cl[i] = 4;
  const auto cl_codes = canonical_codes(cl);
  w.bits(static_cast<std::uint32_t>(literal_lengths.size() - 257), 5);
  w.bits(static_cast<std::uint32_t>(distance_lengths.size() - 1), 5);
  w.bits(19 - 4, 4);
  for (int i = 0; i < 19; ++i) w.bits(cl[deflate_generator::CODE_LENGTH_ORDER[i]], 3);
  for (auto l : literal_lengths) w.code(cl_codes[l], 4);
  for (auto l : distance_lengths) w.code(cl_codes[l], 4);
}

void write_stored_block(BitWriter& w, bool final_block, const Bytes& data) {
  w.bits(final_block ? 1 : 0, 1);
  w.bits(0, 2);
  w.align();
  const std::uint32_t len = static_cast<std::uint32_t>(data.size());
  w.bits(len, 16);
  w.bits(~len & 0xFFFF, 16);
  for (auto b : data) w.bits(b, 8);
}
