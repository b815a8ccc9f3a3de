#pragma once
// Test helpers: a sink that checks how decoded bytes are delivered, a driver that pushes
// a stream in a chosen pattern, zlib as the reference compressor, and a bit writer for
// streams built by hand.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "decode/inflater.h"

using Bytes = std::vector<unsigned char>;

// Receives the output and records every rule the delivery breaks.
struct Sink {
  Inflater* inflater = nullptr;  // to locate the window; set by the driver
  Bytes out;
  std::vector<std::uint32_t> pieces;
  std::vector<std::string> violations;
  std::uint32_t pieces_this_feed = 0;
  bool last_piece_ended_window = true;
  long refuse_on_piece = -1;  // refuse that piece (0-based), -1 = never
};

int sink_output(void* user_data, const unsigned char* bytes, std::uint32_t count);

// Push sizes: called with the bytes left, returns the next push length (0 allowed).
using PushPattern = std::function<std::uint32_t(std::size_t left)>;

struct DecodeResult {
  Bytes out;
  std::vector<std::uint32_t> pieces;
  std::vector<std::string> violations;
  int first_failed_feed = -1;  // index of the first feed that returned 1
  int verdict = -1;            // inflater_finish
};

// Feeds `stream` in the pattern, checking the delivery rules after every feed, then
// finishes. Feeds continue after a failure to check the latch.
DecodeResult decode_stream(const Bytes& stream, const PushPattern& pattern, long refuse_on_piece = -1);

PushPattern push_all();
PushPattern push_fixed(std::uint32_t size);
PushPattern push_random(std::uint32_t seed, std::uint32_t max_size);  // includes zero-length pushes

// Raw Deflate through zlib.
Bytes zlib_deflate(const Bytes& data, int level, int strategy, int window_bits = 15, int mem_level = 8);
// Raw inflate through zlib: true when the stream decodes completely.
bool zlib_inflate(const Bytes& stream, Bytes* out);

// Test data.
Bytes make_text(std::size_t size, std::uint32_t seed);
Bytes make_random(std::size_t size, std::uint32_t seed);
Bytes make_runs(std::size_t size, std::uint32_t seed);
Bytes make_binary_like(std::size_t size, std::uint32_t seed);

// Writes a Deflate bit stream, first bit lowest.
struct BitWriter {
  Bytes bytes;
  std::uint32_t bit_pos = 0;
  void bits(std::uint32_t value, std::uint32_t count);
  // A Huffman code, given MSB-first as the format defines codes.
  void code(std::uint32_t code, std::uint32_t length);
  void align();
};

// Canonical codes for lengths (0 = none), MSB-first.
std::vector<std::uint32_t> canonical_codes(const std::vector<std::uint32_t>& lengths);

// Fixed-code pieces.
void write_fixed_literal(BitWriter& w, std::uint32_t symbol);  // 0..287
void write_fixed_length(BitWriter& w, std::uint32_t length);
void write_fixed_distance(BitWriter& w, std::uint32_t distance);

// A dynamic header (after the block's BFINAL and BTYPE bits) from literal/length and distance lengths, each length sent as a plain
// code-length symbol with a complete code-length code.
void write_dynamic_header(BitWriter& w, const std::vector<std::uint32_t>& literal_lengths,
                          const std::vector<std::uint32_t>& distance_lengths);
// Writes one length or distance with its extra bits through the given codes.
void write_length(BitWriter& w, const std::vector<std::uint32_t>& codes,
                  const std::vector<std::uint32_t>& lengths, std::uint32_t length);
void write_distance(BitWriter& w, const std::vector<std::uint32_t>& codes,
                    const std::vector<std::uint32_t>& lengths, std::uint32_t distance);

// A stored block holding `data` (LEN = its size), aligned after the 3 header bits.
void write_stored_block(BitWriter& w, bool final_block, const Bytes& data);
