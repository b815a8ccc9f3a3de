// The record's life: creation rules, guard words, allocation failures at every point,
// tables released on every path, memory that does not grow with the stream, and a
// callback that refuses output.

#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "decode/huffman_fast.h"
#include "decode/inflater.h"
#include "decode/inflater_record.h"
#include "tests/decode/decode_harness.h"
#include "tests/support/counting_allocator.h"

namespace {

// Fixed, dynamic and stored blocks in one stream, so that every kind of table is built.
Bytes mixed_stream(Bytes* data) {
  const Bytes text = make_text(60000, 12);
  const Bytes noise = make_random(20000, 13);
  z_stream z;
  std::memset(&z, 0, sizeof z);
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_FIXED);
  Bytes out(200000);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  z.next_in = const_cast<unsigned char*>(text.data());
  z.avail_in = 20000;
  deflate(&z, Z_BLOCK);
  deflateParams(&z, 6, Z_DEFAULT_STRATEGY);
  z.next_in = const_cast<unsigned char*>(text.data() + 20000);
  z.avail_in = 40000;
  deflate(&z, Z_BLOCK);
  deflateParams(&z, 0, Z_DEFAULT_STRATEGY);
  z.next_in = const_cast<unsigned char*>(noise.data());
  z.avail_in = static_cast<uInt>(noise.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  *data = text;
  data->insert(data->end(), noise.begin(), noise.end());
  return out;
}

TEST(InflaterRecord, CreateNeedsAllThreeFunctionsAndOneAllocation) {
  counting_reset();
  Sink sink;
  EXPECT_EQ(inflater_create(&sink, nullptr, counting_allocate, counting_release), nullptr);
  EXPECT_EQ(inflater_create(&sink, sink_output, nullptr, counting_release), nullptr);
  EXPECT_EQ(inflater_create(&sink, sink_output, counting_allocate, nullptr), nullptr);
  EXPECT_EQ(counting_attempts(), 0u);
  counting_fail_at(1);
  EXPECT_EQ(inflater_create(&sink, sink_output, counting_allocate, counting_release), nullptr);
  EXPECT_EQ(counting_live_blocks(), 0u);
  // User data may be none.
  Inflater* f = inflater_create(nullptr, sink_output, counting_allocate, counting_release);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(counting_allocations(), 1u);
  EXPECT_EQ(counting_live_bytes(), sizeof(Inflater));
  EXPECT_EQ(inflater_finish(f), 1);
  EXPECT_EQ(counting_live_blocks(), 0u);
}

TEST(InflaterRecord, DamagedGuardsAreRefusedAndNothingIsTouched) {
  EXPECT_EQ(inflater_feed(nullptr, nullptr, 0), 1);
  EXPECT_EQ(inflater_finish(nullptr), 1);
  for (int which = 0; which < 2; ++which) {
    counting_reset();
    Sink sink;
    Inflater* f = inflater_create(&sink, sink_output, counting_allocate, counting_release);
    ASSERT_NE(f, nullptr);
    std::uint32_t& guard = which == 0 ? f->guard_head : f->guard_tail;
    guard = 0xABCDABCE;
    const Bytes stream = zlib_deflate(make_text(100, 1), 6, Z_DEFAULT_STRATEGY);
    EXPECT_EQ(inflater_feed(f, stream.data(), static_cast<std::uint32_t>(stream.size())), 1);
    EXPECT_EQ(f->ring_count, 0u);
    EXPECT_EQ(f->error, 0);
    EXPECT_EQ(inflater_finish(f), 1);
    EXPECT_EQ(counting_live_blocks(), 1u);  // not released
    guard = INFLATER_GUARD;
    EXPECT_EQ(inflater_finish(f), 1);  // no final block yet
    EXPECT_EQ(counting_live_blocks(), 0u);
  }
}

TEST(InflaterRecord, OutOfMemoryAtEveryAllocationFailsCleanly) {
  Bytes data;
  const Bytes stream = mixed_stream(&data);
  // The allocations of a clean run.
  const DecodeResult clean = decode_stream(stream, push_fixed(8192));
  ASSERT_EQ(clean.verdict, 0);
  ASSERT_EQ(clean.out, data);
  const std::uint64_t total = counting_allocations();
  ASSERT_GT(total, 10u);
  for (std::uint64_t n = 1; n <= total; ++n) {
    for (const PushPattern& pattern : {push_fixed(8192), push_fixed(97)}) {
      counting_reset();
      counting_fail_at(n);
      Sink sink;
      Inflater* f = inflater_create(&sink, sink_output, counting_allocate, counting_release);
      if (n == 1) {
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(counting_live_blocks(), 0u);
        continue;
      }
      ASSERT_NE(f, nullptr);
      sink.inflater = f;
      std::size_t at = 0;
      bool failed = false;
      while (at < stream.size()) {
        std::uint32_t len = pattern(stream.size() - at);
        if (len > stream.size() - at) len = static_cast<std::uint32_t>(stream.size() - at);
        const int r = inflater_feed(f, stream.data() + at, len);
        at += len;
        if (failed) {
          EXPECT_EQ(r, 1) << n;
        }
        failed = failed || r != 0;
      }
      EXPECT_TRUE(failed) << n;
      // What was delivered is a true beginning of the data.
      EXPECT_LE(sink.out.size(), data.size()) << n;
      EXPECT_TRUE(std::equal(sink.out.begin(), sink.out.end(), data.begin())) << n;
      EXPECT_EQ(inflater_finish(f), 1) << n;
      EXPECT_EQ(counting_live_blocks(), 0u) << n;
      EXPECT_EQ(counting_bad_releases(), 0u) << n;
    }
  }
}

TEST(InflaterRecord, FinishInsideAHuffmanBlockReleasesItsTables) {
  Bytes data;
  const Bytes stream = mixed_stream(&data);
  for (std::size_t cut : {std::size_t{50}, std::size_t{3000}, stream.size() / 2, stream.size() - 30}) {
    const Bytes part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    const DecodeResult r = decode_stream(part, push_fixed(1000));
    EXPECT_EQ(r.first_failed_feed, -1) << cut;
    EXPECT_EQ(r.verdict, 1) << cut;
    for (const auto& v : r.violations) ADD_FAILURE() << cut << ": " << v;  // includes leaks
  }
  // Also when decoding fails inside a Huffman block: a literal/length code 286.
  BitWriter w;
  w.bits(1, 1);
  w.bits(1, 2);
  write_fixed_literal(w, 'a');
  write_fixed_literal(w, 286);
  w.bits(0, 16);
  const DecodeResult r = decode_stream(w.bytes, push_all());
  EXPECT_EQ(r.first_failed_feed, 0);
  for (const auto& v : r.violations) ADD_FAILURE() << "invalid code: " << v;
}

// Counts the allocations of the fast tables' size, on top of the counting allocator.
std::uint64_t fast_sized_allocations = 0;
void* allocate_counting_fast_sized(std::size_t size) {
  if (size == FAST_TABLE_ENTRIES * sizeof(FastEntry)) ++fast_sized_allocations;
  return counting_allocate(size);
}

TEST(InflaterRecord, FastTablesAreOneBlockForTheRecord) {
  // Fixed, dynamic and stored blocks: the fast tables' block is allocated for the first
  // Huffman block and serves every later one until the end; stored blocks never need it.
  Bytes data;
  BitWriter stored;
  write_stored_block(stored, false, make_random(3000, 4));
  write_stored_block(stored, true, make_random(100, 5));
  const struct {
    Bytes stream;
    std::uint64_t fast_blocks;
  } cases[] = {{mixed_stream(&data), 1}, {stored.bytes, 0}};
  for (const auto& c : cases) {
    for (std::uint32_t push : {1000u, 97u}) {
      counting_reset();
      fast_sized_allocations = 0;
      Sink sink;
      Inflater* f = inflater_create(&sink, sink_output, allocate_counting_fast_sized, counting_release);
      ASSERT_NE(f, nullptr);
      sink.inflater = f;
      std::uint32_t huffman_blocks = 0;
      std::int32_t state = f->state;
      const void* tables = nullptr;
      for (std::size_t at = 0; at < c.stream.size(); at += push) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(push, c.stream.size() - at));
        ASSERT_EQ(inflater_feed(f, c.stream.data() + at, n), 0);
        if (f->state != state && (f->state == FIXED_DATA || f->state == DYNAMIC_DATA)) ++huffman_blocks;
        state = f->state;
        if (tables == nullptr) tables = f->fast_tables;
        EXPECT_TRUE(f->fast_tables == nullptr || f->fast_tables == tables) << push;
      }
      EXPECT_EQ(inflater_finish(f), 0) << push;
      EXPECT_EQ(fast_sized_allocations, c.fast_blocks) << push;
      EXPECT_EQ(counting_live_blocks(), 0u) << push;
      EXPECT_GE(huffman_blocks, 2 * c.fast_blocks) << push;
    }
  }
}

TEST(InflaterRecord, MemoryDoesNotGrowWithTheStream) {
  const Bytes data = make_binary_like(4 << 20, 17);
  const Bytes stream = zlib_deflate(data, 9, Z_DEFAULT_STRATEGY);
  const DecodeResult r = decode_stream(stream, push_fixed(8192));
  ASSERT_EQ(r.out, data);
  // The record and one block's tables: a 9-bit literal/length first level with its
  // sub-tables and a distance table, a few tens of kilobytes at most.
  EXPECT_LT(counting_peak_bytes(), sizeof(Inflater) + 64 * 1024);
  std::printf("record %zu bytes, peak with tables %zu bytes\n", sizeof(Inflater), counting_peak_bytes());
}

TEST(OutputCallback, RefusalOnAnyPieceLatchesTheError) {
  Bytes data;
  const Bytes stream = mixed_stream(&data);
  const DecodeResult clean = decode_stream(stream, push_fixed(8192));
  ASSERT_GT(clean.pieces.size(), 3u);
  for (long refuse = 0; refuse < static_cast<long>(clean.pieces.size()); ++refuse) {
    const DecodeResult r = decode_stream(stream, push_fixed(8192), refuse);
    EXPECT_GE(r.first_failed_feed, 0) << refuse;
    EXPECT_EQ(r.verdict, 1) << refuse;
    // No piece after the refused one.
    EXPECT_EQ(r.pieces.size(), static_cast<std::size_t>(refuse + 1)) << refuse;
    for (const auto& v : r.violations) ADD_FAILURE() << refuse << ": " << v;
  }
  // Refusing the one piece at the end of the last feed, after the final block ended.
  const Bytes small = zlib_deflate(make_text(500, 2), 6, Z_DEFAULT_STRATEGY);
  const DecodeResult r = decode_stream(small, push_all(), 0);
  EXPECT_EQ(r.first_failed_feed, 0);
  EXPECT_EQ(r.verdict, 1);
}

}  // namespace
