// Table building, checked by decoding every code of a set through the built tables.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "decode/deflate_tables.h"
#include "decode/huffman.h"
#include "decode/huffman_fast.h"
#include "decode/inflater.h"
#include "decode/inflater_record.h"
#include "tests/decode/decode_harness.h"
#include "tests/support/counting_allocator.h"

namespace {

int no_output(void*, const unsigned char*, std::uint32_t) { return 0; }

// A record only for its allocate/release pair.
struct Builder {
  Inflater* record;
  Builder() {
    counting_reset();
    record = inflater_create(nullptr, no_output, counting_allocate, counting_release);
  }
  ~Builder() { inflater_finish(record); }
};

std::uint32_t reverse_bits(std::uint32_t code, std::uint32_t length) {
  std::uint32_t r = 0;
  for (std::uint32_t i = 0; i < length; ++i) r |= ((code >> i) & 1u) << (length - 1 - i);
  return r;
}

struct Decoded {
  const HuffmanEntry* entry;
  std::uint32_t consumed;
};

// Follows the tables for the stream bits `bits` (first bit lowest).
Decoded walk(const HuffmanEntry* table, std::uint32_t width, std::uint64_t bits) {
  const HuffmanEntry* e = &table[bits & BIT_MASK[width]];
  std::uint32_t consumed = 0;
  while (e->op > OP_LINK_BASE && e->op != OP_INVALID) {
    consumed += e->code_bits;
    bits >>= e->code_bits;
    e = &e->next[bits & BIT_MASK[e->op - OP_LINK_BASE]];
  }
  return {e, consumed + e->code_bits};
}

// Checks that every symbol with a code decodes through the tables, with junk after it,
// to the entry the builder's contract gives it, consuming exactly its length.
void expect_every_code_decodes(const HuffmanEntry* table, std::uint32_t width, const std::vector<std::uint32_t>& lengths,
                               std::uint32_t s, const std::uint16_t* base, const std::uint8_t* extra,
                               const std::string& what) {
  const auto codes = canonical_codes(lengths);
  std::mt19937 rng(5);
  for (std::uint32_t t = 0; t < lengths.size(); ++t) {
    if (lengths[t] == 0) continue;
    for (int junk = 0; junk < 3; ++junk) {
      const std::uint64_t bits = reverse_bits(codes[t], lengths[t]) | (static_cast<std::uint64_t>(rng()) << lengths[t]);
      const Decoded d = walk(table, width, bits);
      ASSERT_EQ(d.consumed, lengths[t]) << what << " symbol " << t;
      if (t < s) {
        EXPECT_EQ(d.entry->op, t < 256 ? OP_LITERAL : OP_END_OF_BLOCK) << what << " symbol " << t;
        EXPECT_EQ(d.entry->value, t) << what << " symbol " << t;
      } else {
        EXPECT_EQ(d.entry->op, extra[t - s]) << what << " symbol " << t;
        if (extra[t - s] != OP_INVALID) {
          EXPECT_EQ(d.entry->value, base[t - s]) << what << " symbol " << t;
        }
      }
    }
  }
}

// Counts the patterns of `max` bits that decode to an invalid entry.
std::uint32_t count_invalid_patterns(const HuffmanEntry* table, std::uint32_t width, std::uint32_t max) {
  std::uint32_t invalid = 0;
  for (std::uint32_t p = 0; p < (1u << max); ++p) {
    const Decoded d = walk(table, width, p);
    if (d.entry->op == OP_INVALID) {
      EXPECT_LE(d.consumed, max);
      ++invalid;
    }
  }
  return invalid;
}

std::uint32_t chain_blocks(const HuffmanEntry* table) {
  std::uint32_t n = 0;
  while (table != nullptr) {
    ++n;
    table = (table - 1)->next;
  }
  return n;
}

// Random complete code: split random leaves of a code tree, no code above 15 bits.
std::vector<std::uint32_t> random_complete_lengths(std::uint32_t n, std::mt19937& rng) {
  std::vector<std::uint32_t> leaves = {1, 1};
  while (leaves.size() < n) {
    const std::size_t i = rng() % leaves.size();
    if (leaves[i] >= 15) continue;
    ++leaves[i];
    leaves.push_back(leaves[i]);
  }
  return leaves;
}

TEST(HuffmanBuild, FixedLiteralLengthCode) {
  Builder b;
  std::vector<std::uint32_t> lengths(288);
  for (std::uint32_t i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  HuffmanEntry* table = nullptr;
  std::uint32_t width = FIXED_LITERAL_BITS;
  const std::uint64_t before = counting_allocations();
  ASSERT_EQ(huffman_build_table(b.record, lengths.data(), 288, 257, LENGTH_BASE, LENGTH_EXTRA, &table, &width), 0);
  EXPECT_EQ(width, 7u);
  expect_every_code_decodes(table, width, lengths, 257, LENGTH_BASE, LENGTH_EXTRA, "fixed literal/length");
  // A 7-bit first level, 1-bit sub-tables for the 76 prefixes of 8-bit codes and 2-bit
  // sub-tables for the 28 prefixes of 9-bit codes: 105 blocks, one allocation each.
  std::uint32_t links[3] = {};
  for (std::uint32_t i = 0; i < 128; ++i) {
    if (table[i].op > OP_LINK_BASE && table[i].op <= OP_LINK_BASE + 2) ++links[table[i].op - OP_LINK_BASE];
  }
  EXPECT_EQ(links[1], 76u);
  EXPECT_EQ(links[2], 28u);
  EXPECT_EQ(chain_blocks(table), 105u);
  EXPECT_EQ(counting_allocations() - before, 105u);
  // Symbols 286 and 287 have codes that decode as invalid.
  EXPECT_EQ(count_invalid_patterns(table, width, 9), 2u * 2u);
  huffman_free_table(b.record, table);
  EXPECT_EQ(counting_live_blocks(), 1u);  // the record alone
}

TEST(HuffmanBuild, FixedDistanceCodeIsIncompleteByTwoPatterns) {
  Builder b;
  std::vector<std::uint32_t> lengths(30, 5);
  HuffmanEntry* table = nullptr;
  std::uint32_t width = FIXED_DISTANCE_BITS;
  ASSERT_EQ(huffman_build_table(b.record, lengths.data(), 30, 0, DISTANCE_BASE, DISTANCE_EXTRA, &table, &width), 1);
  EXPECT_EQ(width, 5u);
  expect_every_code_decodes(table, width, lengths, 0, DISTANCE_BASE, DISTANCE_EXTRA, "fixed distance");
  EXPECT_EQ(count_invalid_patterns(table, width, 5), 2u);
  huffman_free_table(b.record, table);
}

TEST(HuffmanBuild, RandomCompleteAndIncompleteCodesDecode) {
  std::mt19937 rng(99);
  for (int round = 0; round < 200; ++round) {
    Builder b;
    const std::uint32_t n = 2 + rng() % 287;
    std::vector<std::uint32_t> lengths = random_complete_lengths(n, rng);
    std::shuffle(lengths.begin(), lengths.end(), rng);
    const bool incomplete = round % 2 == 1;
    if (incomplete) lengths[rng() % n] = 0;
    std::uint32_t used = 0, max = 0;
    for (auto l : lengths) {
      used += l != 0;
      max = l > max ? l : max;
    }
    for (std::uint32_t requested : {1u, 6u, 9u, 16u}) {
      HuffmanEntry* table = nullptr;
      std::uint32_t width = requested;
      const std::string what = "round " + std::to_string(round) + " width " + std::to_string(requested);
      const std::uint32_t s = n > 257 ? 257 : n;
      const int r = huffman_build_table(b.record, lengths.data(), n, s, LENGTH_BASE, LENGTH_EXTRA, &table, &width);
      const bool only_one_bit = max == 1;
      ASSERT_EQ(r, incomplete && !only_one_bit ? 1 : 0) << what;
      ASSERT_NE(table, nullptr) << what;
      EXPECT_LE(width, max) << what;
      expect_every_code_decodes(table, width, lengths, s, LENGTH_BASE, LENGTH_EXTRA, what);
      // Patterns of symbols 286 and 287 decode as invalid, and so do the spare ones.
      std::uint32_t meaningless = 0;
      for (std::uint32_t t = s; t < n; ++t) {
        if (lengths[t] != 0 && LENGTH_EXTRA[t - s] == EXTRA_NO_SYMBOL) meaningless += 1u << (max - lengths[t]);
      }
      const std::uint32_t invalid = count_invalid_patterns(table, width, max);
      if (incomplete) {
        EXPECT_GT(invalid, meaningless) << what;
      } else {
        EXPECT_EQ(invalid, meaningless) << what;
      }
      huffman_free_table(b.record, table);
      EXPECT_EQ(counting_live_blocks(), 1u) << what;
    }
    (void)used;
  }
}

// The fast loop's one-level tables against the HuffmanEntry tables of the same lengths:
// every pattern of the fast table's width either resolves to the same symbol with the
// same code length (and, for lengths and distances, the same base and extra bits), or
// is left to the careful tables (FAST_SLOW) exactly when those give no plain literal,
// length or distance within the width: a longer code, end of block, symbols without
// meaning, spare patterns.
void expect_fast_table_agrees(const FastEntry* fast, std::uint32_t fast_bits, const HuffmanEntry* table,
                              std::uint32_t width, bool literal_set, const std::string& what) {
  for (std::uint32_t p = 0; p < (1u << fast_bits); ++p) {
    const FastEntry e = fast[p];
    const Decoded d = walk(table, width, p | (std::uint64_t{0x5A5A5} << fast_bits));
    const bool plain = d.entry->op == OP_LITERAL || d.entry->op <= OP_MAX_EXTRA;
    if (!plain || d.consumed > fast_bits) {
      EXPECT_EQ(e, FAST_SLOW) << what << " pattern " << p;
      continue;
    }
    ASSERT_NE(e & FAST_SLOW, FAST_SLOW) << what << " pattern " << p;
    if (d.entry->op == OP_LITERAL) {
      ASSERT_TRUE(literal_set) << what;
      EXPECT_EQ(e & FAST_LITERAL, FAST_LITERAL) << what << " pattern " << p;
      EXPECT_EQ((e >> FAST_VALUE_SHIFT) & 0xFFu, d.entry->value) << what << " pattern " << p;
      EXPECT_EQ(e & FAST_USED_MASK, d.consumed) << what << " pattern " << p;
    } else {
      EXPECT_EQ(e & FAST_LITERAL, 0u) << what << " pattern " << p;
      EXPECT_EQ(e >> FAST_VALUE_SHIFT, d.entry->value) << what << " pattern " << p;
      EXPECT_EQ((e >> FAST_CODE_SHIFT) & FAST_CODE_MASK, d.consumed) << what << " pattern " << p;
      EXPECT_EQ(e & FAST_USED_MASK, d.consumed + d.entry->op) << what << " pattern " << p;
    }
  }
}

TEST(FastTables, AgreeWithTheCarefulTablesOnEveryPattern) {
  std::mt19937 rng(7);
  for (int round = 0; round < 120; ++round) {
    Builder b;
    // Literal/length sets of 257 to 288 symbols, some with codes for 286/287; distance
    // sets of 1 to 32, some incomplete (a symbol dropped), some of a single code.
    const std::uint32_t nl = 257 + rng() % 32;
    std::vector<std::uint32_t> literal = random_complete_lengths(nl, rng);
    std::shuffle(literal.begin(), literal.end(), rng);
    const std::uint32_t nd = 1 + rng() % 32;
    std::vector<std::uint32_t> distance = nd == 1 ? std::vector<std::uint32_t>{1} : random_complete_lengths(nd, rng);
    std::shuffle(distance.begin(), distance.end(), rng);
    if (round % 3 == 1 && nd > 2) distance[rng() % nd] = 0;
    const std::string what = "round " + std::to_string(round);

    HuffmanEntry* lit_table = nullptr;
    HuffmanEntry* dist_table = nullptr;
    std::uint32_t lit_bits = DYNAMIC_LITERAL_BITS, dist_bits = DYNAMIC_DISTANCE_BITS;
    ASSERT_EQ(huffman_build_table(b.record, literal.data(), nl, LENGTH_SYMBOL_FIRST, LENGTH_BASE, LENGTH_EXTRA,
                                  &lit_table, &lit_bits), 0) << what;
    ASSERT_LE(huffman_build_table(b.record, distance.data(), nd, 0, DISTANCE_BASE, DISTANCE_EXTRA, &dist_table,
                                  &dist_bits), 1) << what;
    HuffmanCodeOrder literal_order, distance_order;
    ASSERT_TRUE(huffman_order_code(literal.data(), nl, &literal_order));
    ASSERT_TRUE(huffman_order_code(distance.data(), nd, &distance_order));
    ASSERT_TRUE(fast_tables_build(b.record, literal_order, distance_order)) << what;
    expect_fast_table_agrees(b.record->fast_tables, FAST_LITERAL_BITS, lit_table, lit_bits, true, what + " literal");
    expect_fast_table_agrees(b.record->fast_tables + FAST_DISTANCE_OFFSET, FAST_DISTANCE_BITS, dist_table, dist_bits,
                             false, what + " distance");
    fast_tables_release(b.record);
    huffman_free_table(b.record, lit_table);
    huffman_free_table(b.record, dist_table);
    EXPECT_EQ(counting_live_blocks(), 1u) << what;
  }
  // No distance codes at all: every distance pattern goes to the careful tables, which
  // have none, so that a length fails there.
  Builder b;
  std::vector<std::uint32_t> literal(257, 0);
  literal['a'] = 1;
  literal[256] = 1;
  const std::uint32_t no_distance[1] = {0};
  HuffmanCodeOrder literal_order;
  HuffmanCodeOrder distance_order;
  ASSERT_TRUE(huffman_order_code(literal.data(), 257, &literal_order));
  ASSERT_TRUE(huffman_order_code(no_distance, 1, &distance_order));
  ASSERT_TRUE(fast_tables_build(b.record, literal_order, distance_order));
  for (std::uint32_t p = 0; p < (1u << FAST_DISTANCE_BITS); ++p) {
    EXPECT_EQ(b.record->fast_tables[FAST_DISTANCE_OFFSET + p], FAST_SLOW);
  }
  fast_tables_release(b.record);
}

TEST(HuffmanBuild, WidthFollowsTheShortestAndLongestCodes) {
  Builder b;
  // Shortest code 10 bits: the first level is at least that wide.
  std::vector<std::uint32_t> lengths(288, 0);
  for (std::uint32_t i = 0; i < 257; ++i) lengths[i] = 10;
  HuffmanEntry* table = nullptr;
  std::uint32_t width = DYNAMIC_LITERAL_BITS;
  EXPECT_EQ(huffman_build_table(b.record, lengths.data(), 288, 257, LENGTH_BASE, LENGTH_EXTRA, &table, &width), 1);
  EXPECT_EQ(width, 10u);
  expect_every_code_decodes(table, width, lengths, 257, LENGTH_BASE, LENGTH_EXTRA, "shortest 10");
  huffman_free_table(b.record, table);
  // Longest code shorter than requested: the first level is the longest code.
  std::vector<std::uint32_t> short_lengths = {2, 2, 2, 3, 3};
  width = DYNAMIC_LITERAL_BITS;
  EXPECT_EQ(huffman_build_table(b.record, short_lengths.data(), 5, 5, nullptr, nullptr, &table, &width), 0);
  EXPECT_EQ(width, 3u);
  huffman_free_table(b.record, table);
}

TEST(HuffmanBuild, EndOfBlockCodeEndsItsLevels) {
  // End of block 3 bits long among long codes: the first level stops at 3 bits, and the
  // end-of-block entry consumes exactly those.
  Builder b;
  std::mt19937 rng(4);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::uint32_t> lengths = random_complete_lengths(288, rng);
    std::shuffle(lengths.begin(), lengths.end(), rng);
    const std::uint32_t end_length = lengths[256];
    HuffmanEntry* table = nullptr;
    std::uint32_t width = DYNAMIC_LITERAL_BITS;
    ASSERT_EQ(huffman_build_table(b.record, lengths.data(), 288, 257, LENGTH_BASE, LENGTH_EXTRA, &table, &width), 0);
    EXPECT_LE(width, end_length) << round;
    const auto codes = canonical_codes(lengths);
    // Decoding end of block never looks at the bits after it: every level on its way
    // ends at or before its last bit.
    std::uint64_t bits = reverse_bits(codes[256], end_length);
    const HuffmanEntry* e = &table[bits & BIT_MASK[width]];
    std::uint32_t seen = width;
    while (e->op > OP_LINK_BASE && e->op != OP_INVALID) {
      bits >>= e->code_bits;
      seen += e->op - OP_LINK_BASE;
      e = &e->next[bits & BIT_MASK[e->op - OP_LINK_BASE]];
    }
    EXPECT_EQ(e->op, OP_END_OF_BLOCK) << round;
    EXPECT_LE(seen, end_length) << round;
    huffman_free_table(b.record, table);
  }
}

TEST(HuffmanBuild, OversubscribedEmptyAndOneBitSets) {
  Builder b;
  const std::uint64_t before = counting_attempts();
  HuffmanEntry sentinel;
  HuffmanEntry* table = &sentinel;
  std::uint32_t width = 7;
  const std::uint32_t three_ones[3] = {1, 1, 1};
  EXPECT_EQ(huffman_build_table(b.record, three_ones, 3, 3, nullptr, nullptr, &table, &width), 2);
  EXPECT_EQ(table, &sentinel);
  const std::uint32_t too_many[6] = {2, 2, 2, 3, 3, 2};
  EXPECT_EQ(huffman_build_table(b.record, too_many, 6, 6, nullptr, nullptr, &table, &width), 2);
  // Lengths and set sizes outside the format's are refused the same way, before any
  // ordering is written.
  const std::uint32_t too_long[3] = {1, 17, 1};
  EXPECT_EQ(huffman_build_table(b.record, too_long, 3, 3, nullptr, nullptr, &table, &width), 2);
  // 33 and 65 would count as a length of 1 if only their low bits were looked at.
  for (std::uint32_t beyond : {33u, 65u, 0x80000001u}) {
    const std::uint32_t lengths[3] = {1, 1, beyond};
    EXPECT_EQ(huffman_build_table(b.record, lengths, 3, 3, nullptr, nullptr, &table, &width), 2) << beyond;
  }
  std::vector<std::uint32_t> ones(MAX_LITERAL_SYMBOLS + 1, 9);
  EXPECT_EQ(huffman_build_table(b.record, ones.data(), MAX_LITERAL_SYMBOLS + 1, 257, LENGTH_BASE, LENGTH_EXTRA, &table,
                                &width), 2);
  EXPECT_EQ(huffman_build_table(b.record, ones.data(), 0, 0, nullptr, nullptr, &table, &width), 2);
  HuffmanCodeOrder order;
  order.n = 12345;
  EXPECT_FALSE(huffman_order_code(too_long, 3, &order));
  EXPECT_EQ(order.n, 12345u);
  EXPECT_EQ(table, &sentinel);
  EXPECT_EQ(counting_attempts(), before);

  const std::uint32_t zeros[19] = {};
  width = 7;
  EXPECT_EQ(huffman_build_table(b.record, zeros, 19, 19, nullptr, nullptr, &table, &width), 0);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(width, 0u);
  EXPECT_EQ(counting_attempts(), before);

  // One code of one bit: complete by rule, its other pattern invalid.
  const std::uint32_t one[4] = {0, 0, 1, 0};
  width = 7;
  EXPECT_EQ(huffman_build_table(b.record, one, 4, 4, nullptr, nullptr, &table, &width), 0);
  EXPECT_EQ(width, 1u);
  EXPECT_EQ(table[0].op, OP_LITERAL);
  EXPECT_EQ(table[0].value, 2u);
  EXPECT_EQ(table[1].op, OP_INVALID);
  huffman_free_table(b.record, table);
  EXPECT_EQ(huffman_free_table(b.record, nullptr), 0);
  EXPECT_EQ(counting_live_blocks(), 1u);
}

TEST(HuffmanBuild, OutOfMemoryAtEveryAllocationLeavesNothing) {
  std::mt19937 rng(8);
  std::vector<std::uint32_t> lengths = random_complete_lengths(288, rng);
  std::shuffle(lengths.begin(), lengths.end(), rng);
  Builder b;
  HuffmanEntry* table = nullptr;
  std::uint32_t width = DYNAMIC_LITERAL_BITS;
  const std::uint64_t start = counting_attempts();
  ASSERT_EQ(huffman_build_table(b.record, lengths.data(), 288, 257, LENGTH_BASE, LENGTH_EXTRA, &table, &width), 0);
  const std::uint64_t blocks = counting_attempts() - start;
  ASSERT_GT(blocks, 2u);
  huffman_free_table(b.record, table);
  for (std::uint64_t n = 1; n <= blocks; ++n) {
    counting_fail_at(n);
    width = DYNAMIC_LITERAL_BITS;
    EXPECT_EQ(huffman_build_table(b.record, lengths.data(), 288, 257, LENGTH_BASE, LENGTH_EXTRA, &table, &width), 3) << n;
    EXPECT_EQ(counting_live_blocks(), 1u) << n;
  }
  counting_fail_at(0);
}

}  // namespace
