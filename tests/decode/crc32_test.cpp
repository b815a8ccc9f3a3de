// CRC-32 against known values, the bitwise reference and zlib's crc32, on lengths that
// end in every part of the four-byte steps and the lane blocks and at every alignment.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "decode/crc32.h"
#include "tests/support/counting_allocator.h"
#include "tests/support/zip_builder.h"

namespace {

struct CrcFixture : ::testing::Test {
  void SetUp() override { counting_reset(); }
  void TearDown() override { EXPECT_EQ(counting_live_blocks(), 0u); }
};

std::uint32_t finished_crc(const CrcTable* table, const Bytes& data) {
  return ~crc_update(table, 0xFFFFFFFFu, data.data(), static_cast<std::uint32_t>(data.size()));
}

TEST_F(CrcFixture, KnownValues) {
  CrcTable* table = crc_table_create(counting_allocate, counting_release);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(crc_table_complete(table), 1);
  EXPECT_EQ(finished_crc(table, zip_test_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(finished_crc(table, zip_test_bytes("The quick brown fox jumps over the lazy dog")),
            0x414FA339u);
  EXPECT_EQ(finished_crc(table, Bytes{}), 0u);
  EXPECT_EQ(finished_crc(table, Bytes{0x00}), 0xD202EF8Du);
  EXPECT_EQ(finished_crc(table, Bytes(32, 0xFF)), 0xFF6CAB0Bu);
  EXPECT_EQ(crc_table_free(table), 0);
}

TEST_F(CrcFixture, MatchesBitwiseReferenceOnEveryByteValueAndSplit) {
  CrcTable* table = crc_table_create(counting_allocate, counting_release);
  ASSERT_NE(table, nullptr);
  Bytes data = zip_test_random_bytes(5000, 3);
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<std::uint8_t>(i));
  const std::uint32_t whole = finished_crc(table, data);
  EXPECT_EQ(whole, zip_test_crc32(data));

  // Any split into successive updates gives the same value.
  for (std::size_t first : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{4096},
                            data.size() - 1, data.size()}) {
    std::uint32_t value = 0xFFFFFFFFu;
    value = crc_update(table, value, data.data(), static_cast<std::uint32_t>(first));
    value = crc_update(table, value, data.data() + first, static_cast<std::uint32_t>(data.size() - first));
    EXPECT_EQ(~value, whole) << "split at " << first;
  }
  // Count 0 leaves any running value alone, even with a null byte pointer.
  EXPECT_EQ(crc_update(table, 0x12345678u, nullptr, 0), 0x12345678u);
  EXPECT_EQ(crc_table_free(table), 0);
}

TEST_F(CrcFixture, LongRunsAgreeWithTheReferenceFromAnyStartValue) {
  // Long runs are computed in parallel lanes and joined: lengths around the lane
  // blocks and not divisible by the lane count, and start values other than the
  // usual one, must all agree with the byte-at-a-time reference.
  CrcTable* table = crc_table_create(counting_allocate, counting_release);
  ASSERT_NE(table, nullptr);
  const Bytes data = zip_test_random_bytes(70001, 11);
  for (std::uint32_t length : {1023u, 1024u, 1025u, 1027u, 4099u, 32768u, 70001u}) {
    const Bytes run(data.begin(), data.begin() + length);
    EXPECT_EQ(finished_crc(table, run), zip_test_crc32(run)) << "length " << length;
    for (std::uint32_t start : {0u, 0x12345678u, 0xFFFFFFFEu}) {
      std::uint32_t bytewise = start;
      for (std::uint8_t b : run) bytewise = crc_update(table, bytewise, &b, 1);
      EXPECT_EQ(crc_update(table, start, run.data(), length), bytewise)
          << "length " << length << " start " << start;
    }
  }
  EXPECT_EQ(crc_table_free(table), 0);
}

TEST_F(CrcFixture, MissingFunctionsOrMemory) {
  EXPECT_EQ(crc_table_create(nullptr, counting_release), nullptr);
  EXPECT_EQ(crc_table_create(counting_allocate, nullptr), nullptr);
  counting_fail_from(1);  // no memory at all
  EXPECT_EQ(crc_table_create(counting_allocate, counting_release), nullptr);
}

TEST_F(CrcFixture, TheObjectIsTheOnlyAllocation) {
  // The tables are part of the program: the object is one small block, so an
  // allocator that fails from the second block on still gives a complete object.
  counting_fail_from(2);
  CrcTable* table = crc_table_create(counting_allocate, counting_release);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(counting_allocations(), 1u);
  EXPECT_LE(counting_peak_bytes(), 64u);
  EXPECT_EQ(crc_table_complete(table), 1);
  EXPECT_EQ(crc_table_complete(nullptr), 0);
  EXPECT_EQ(finished_crc(table, zip_test_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc_table_free(table), 0);
}

TEST_F(CrcFixture, AgreesWithZlibOnLengthsAndAlignments) {
  // Lengths around the four-byte steps, each lane block (4 x 64, 4 x 256, 4 x 1024 bytes)
  // and runs that take several blocks of each size, every one at each of eight
  // alignments and from a start value other than the usual one too.
  CrcTable* table = crc_table_create(counting_allocate, counting_release);
  ASSERT_NE(table, nullptr);
  const Bytes data = zip_test_random_bytes(40000, 29);
  const std::uint32_t lengths[] = {1,    2,    3,    4,    5,    7,    8,     63,    255,   256,  257,
                                   259,  1023, 1024, 1025, 1027, 1280, 1283,  4095,  4096,  4097,
                                   4099, 5375, 8192, 8195, 9471, 20000, 32768, 32771, 39990};
  for (std::uint32_t length : lengths) {
    for (std::uint32_t offset = 0; offset < 8; ++offset) {
      const unsigned char* bytes = data.data() + offset;
      const std::uint32_t zlib_value = static_cast<std::uint32_t>(crc32(0, bytes, length));
      EXPECT_EQ(~crc_update(table, 0xFFFFFFFFu, bytes, length), zlib_value)
          << "length " << length << " offset " << offset;
      const std::uint32_t zlib_seeded = static_cast<std::uint32_t>(crc32(0x9E3779B9u, bytes, length));
      EXPECT_EQ(~crc_update(table, ~0x9E3779B9u, bytes, length), zlib_seeded)
          << "length " << length << " offset " << offset << " seeded";
    }
  }
  // Random cuts of one run into successive updates of random lengths and alignments.
  std::uint32_t seed = 12345;
  for (int round = 0; round < 200; ++round) {
    seed = seed * 1103515245u + 12345u;
    const std::uint32_t start = (seed >> 8) % 16;
    seed = seed * 1103515245u + 12345u;
    const std::uint32_t total = (seed >> 8) % 24000;
    std::uint32_t value = 0xFFFFFFFFu;
    for (std::uint32_t at = 0; at < total;) {
      seed = seed * 1103515245u + 12345u;
      std::uint32_t piece = (seed >> 8) % 9000;
      if (piece > total - at) piece = total - at;
      value = crc_update(table, value, data.data() + start + at, piece);
      at += piece;
    }
    EXPECT_EQ(~value, static_cast<std::uint32_t>(crc32(0, data.data() + start, total)))
        << "round " << round << " start " << start << " total " << total;
  }
  EXPECT_EQ(crc_table_free(table), 0);
}

}  // namespace
