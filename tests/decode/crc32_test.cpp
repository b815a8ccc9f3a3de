// CRC-32 against known values and the bitwise reference, including the object that
// lost its table to a failed allocation.

#include <gtest/gtest.h>

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
  // threshold and not divisible by the lane count, and start values other than the
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

TEST_F(CrcFixture, FailedTableAllocationLeavesValuesUnchanged) {
  counting_fail_from(2);  // the record, not its table
  CrcTable* table = crc_table_create(counting_allocate, counting_release);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(counting_live_blocks(), 1u);
  EXPECT_EQ(crc_table_complete(table), 0);
  const Bytes data = zip_test_bytes("123456789");
  for (std::uint32_t start : {0xFFFFFFFFu, 0u, 0xDEADBEEFu}) {
    EXPECT_EQ(crc_update(table, start, data.data(), static_cast<std::uint32_t>(data.size())), start);
  }
  EXPECT_EQ(crc_table_free(table), 0);  // releases only the record; TearDown checks the count
}

}  // namespace
