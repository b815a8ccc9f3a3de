// Our decoder against zlib's compressor and decompressor: varied data at every level and
// strategy, small windows, and every push pattern, with the delivery rules checked.

#include <zlib.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/decode/decode_harness.h"

namespace {

void expect_decodes(const Bytes& data, const Bytes& stream, const PushPattern& pattern, const std::string& what) {
  const DecodeResult r = decode_stream(stream, pattern);
  ASSERT_EQ(r.first_failed_feed, -1) << what;
  EXPECT_EQ(r.verdict, 0) << what;
  ASSERT_EQ(r.out.size(), data.size()) << what;
  EXPECT_TRUE(r.out == data) << what;
  for (const auto& v : r.violations) ADD_FAILURE() << what << ": " << v;
}

struct DataCase {
  const char* name;
  Bytes data;
};

std::vector<DataCase> data_cases() {
  return {
      {"empty", {}},
      {"one byte", Bytes{0x41}},
      {"text 100k", make_text(100000, 1)},
      {"random 70k", make_random(70000, 2)},
      {"runs 200k", make_runs(200000, 3)},
      {"binary 300k", make_binary_like(300000, 4)},
  };
}

TEST(InflaterZlib, EveryLevelAndStrategyDecodesAllAtOnceAndIn8192Pushes) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const auto& c : data_cases()) {
    for (int level = 0; level <= 9; ++level) {
      for (int strategy : strategies) {
        const Bytes stream = zlib_deflate(c.data, level, strategy);
        ASSERT_FALSE(stream.empty());
        const std::string what = std::string(c.name) + " level " + std::to_string(level) + " strategy " +
                                 std::to_string(strategy);
        expect_decodes(c.data, stream, push_all(), what + " all at once");
        expect_decodes(c.data, stream, push_fixed(8192), what + " 8192");
      }
    }
  }
}

TEST(InflaterZlib, SmallWindowsAndMemoryLevels) {
  const Bytes data = make_binary_like(400000, 11);
  for (int window_bits = 9; window_bits <= 15; ++window_bits) {
    for (int mem_level : {1, 9}) {
      const Bytes stream = zlib_deflate(data, 9, Z_DEFAULT_STRATEGY, window_bits, mem_level);
      expect_decodes(data, stream, push_fixed(8192),
                     "window " + std::to_string(window_bits) + " mem " + std::to_string(mem_level));
    }
  }
}

TEST(InflaterZlib, EveryPushPatternGivesTheSameBytesAndVerdict) {
  const Bytes data = make_binary_like(150000, 21);
  for (int level : {0, 1, 6, 9}) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
      const Bytes stream = zlib_deflate(data, level, strategy);
      const std::string what = "level " + std::to_string(level) + " strategy " + std::to_string(strategy);
      expect_decodes(data, stream, push_fixed(1), what + " one byte per push");
      expect_decodes(data, stream, push_fixed(3), what + " three bytes per push");
      expect_decodes(data, stream, push_fixed(20000), what + " pushes above the ring size");
      for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        expect_decodes(data, stream, push_random(seed, 40000), what + " random " + std::to_string(seed));
      }
    }
  }
}

TEST(InflaterZlib, MultiMegabyteStream) {
  Bytes data = make_binary_like(3 << 20, 31);
  const Bytes text = make_text(1 << 20, 32);
  data.insert(data.end(), text.begin(), text.end());
  const Bytes stream = zlib_deflate(data, 6, Z_DEFAULT_STRATEGY);
  expect_decodes(data, stream, push_fixed(8192), "4 MB in 8192 pushes");
  expect_decodes(data, stream, push_all(), "4 MB at once");
}

TEST(InflaterZlib, FullWindowsArriveAsWholePieces) {
  // Stored data decodes at the pace of the input: a single call that decodes 32768 bytes
  // delivers them as one piece, 32769 bytes as 32768 and then 1.
  for (std::uint32_t size : {32768u, 32769u, 65536u, 100000u}) {
    const Bytes data = make_random(size, size);
    const Bytes stream = zlib_deflate(data, 0, Z_DEFAULT_STRATEGY);
    const DecodeResult r = decode_stream(stream, push_all());
    ASSERT_EQ(r.out, data);
    std::vector<std::uint32_t> expected(size / 32768, 32768u);
    if (size % 32768 != 0) expected.push_back(size % 32768);
    EXPECT_EQ(r.pieces, expected) << size;
  }
  // Compressed data too.
  const Bytes data = make_text(32769, 5);
  const DecodeResult r = decode_stream(zlib_deflate(data, 6, Z_DEFAULT_STRATEGY), push_all());
  EXPECT_EQ(r.pieces, (std::vector<std::uint32_t>{32768u, 1u}));
}

TEST(InflaterZlib, EachFeedDeliversWhatItDecoded) {
  // 100 bytes of text per push: every feed that produced output hands it over before it
  // returns, so the output seen after each feed is never behind by more than a symbol.
  const Bytes data = make_text(50000, 41);
  const Bytes stream = zlib_deflate(data, 0, Z_DEFAULT_STRATEGY);
  const DecodeResult r = decode_stream(stream, push_fixed(100));
  ASSERT_EQ(r.out, data);
  EXPECT_GT(r.pieces.size(), 400u);
  for (auto p : r.pieces) EXPECT_LE(p, 100u);
}

}  // namespace
