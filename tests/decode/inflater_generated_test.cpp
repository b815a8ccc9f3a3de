// Streams from the generator of unusual valid codes (tests/support/deflate_generator.h),
// decoded at random push sizes and compared with zlib and with what the generator
// encoded. A fixed seed range, so that a failure names its seed.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/decode/decode_harness.h"
#include "tests/support/deflate_generator.h"

namespace {

constexpr std::uint32_t SEEDS = 300;

TEST(GeneratedStreams, DecodeAsZlibDoesAtRandomPushSizes) {
  deflate_generator::Summary all;
  std::vector<bool> eob_depth_seen(16, false), shortest_literal_seen(16, false);
  for (std::uint32_t seed = 1; seed <= SEEDS; ++seed) {
    // Mostly small streams; every tenth one spans several windows.
    const deflate_generator::Generated g = deflate_generator::generate(seed, seed % 10 == 0 ? 150000 : 6000);
    const std::string what = "seed " + std::to_string(seed);
    Bytes reference;
    ASSERT_TRUE(zlib_inflate(g.stream, &reference)) << what << ": zlib refuses the stream";
    ASSERT_TRUE(reference == g.data) << what << ": zlib decodes other bytes than the generator encoded";
    for (const PushPattern& pattern : {push_random(seed, 64), push_random(seed + 1, 9000), push_fixed(8192)}) {
      const DecodeResult r = decode_stream(g.stream, pattern);
      ASSERT_EQ(r.first_failed_feed, -1) << what;
      EXPECT_EQ(r.verdict, 0) << what;
      ASSERT_EQ(r.out.size(), g.data.size()) << what;
      EXPECT_TRUE(r.out == g.data) << what;
      for (const auto& v : r.violations) ADD_FAILURE() << what << ": " << v;
    }
    for (auto d : g.summary.end_of_block_depths) eob_depth_seen[d] = true;
    for (auto l : g.summary.shortest_literals) shortest_literal_seen[l] = true;
    all.dynamic_blocks += g.summary.dynamic_blocks;
    all.fixed_blocks += g.summary.fixed_blocks;
    all.stored_blocks += g.summary.stored_blocks;
    all.longest_code = std::max(all.longest_code, g.summary.longest_code);
    all.farthest_distance = std::max(all.farthest_distance, g.summary.farthest_distance);
  }
  // What the seeds covered: the end of block at every depth, literals whose shortest
  // code is 10 to 15 bits, codes of 15 bits, every block type, a whole window back.
  for (std::uint32_t d = 1; d <= 15; ++d) EXPECT_TRUE(eob_depth_seen[d]) << "end of block at depth " << d;
  for (std::uint32_t l = 10; l <= 15; ++l) EXPECT_TRUE(shortest_literal_seen[l]) << "shortest literal code " << l;
  EXPECT_EQ(all.longest_code, 15u);
  EXPECT_GT(all.dynamic_blocks, 0u);
  EXPECT_GT(all.fixed_blocks, 0u);
  EXPECT_GT(all.stored_blocks, 0u);
  EXPECT_GT(all.farthest_distance, 32000u);
}

}  // namespace
