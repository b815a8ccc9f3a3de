// Table-driven CRC-32 of ZIP archives, one table lookup per byte. The tables are
// computed by the compiler and are read-only, so any number of objects and threads can
// share them; an object only carries the caller's function that releases it.
//
// Four bytes are taken at a time: the running value XORed with the next four bytes is
// carried across them through four tables, one per byte position (the entry of table k
// is a byte's CRC carried across k further zero bytes), and the four lookups are
// independent of each other. Long runs are also split into lanes computed side by side,
// so that the processor overlaps the lanes' lookups as well, and then joined.

#include "decode/crc32.h"

#include <cstddef>

namespace {

constexpr std::uint32_t CRC_POLYNOMIAL = 0xEDB88320u;  // IEEE 802.3, reflected
constexpr std::size_t CRC_TABLE_ENTRIES = 256;
constexpr std::size_t CRC_SLICES = 4;  // bytes carried per step, one table each

struct CrcSliceTables {
  std::uint32_t entries[CRC_SLICES][CRC_TABLE_ENTRIES];
};

static_assert(sizeof(CrcSliceTables) == 4096, "four 1024-byte tables");

constexpr CrcSliceTables crc_slice_tables_make() {
  CrcSliceTables t{};
  for (std::uint32_t i = 0; i < CRC_TABLE_ENTRIES; ++i) {
    std::uint32_t value = i;
    for (int round = 0; round < 8; ++round) {
      value = (value & 1u) != 0 ? (value >> 1) ^ CRC_POLYNOMIAL : value >> 1;
    }
    t.entries[0][i] = value;
  }
  for (std::size_t k = 1; k < CRC_SLICES; ++k) {
    for (std::size_t i = 0; i < CRC_TABLE_ENTRIES; ++i) {
      const std::uint32_t previous = t.entries[k - 1][i];
      t.entries[k][i] = (previous >> 8) ^ t.entries[0][previous & 0xFFu];
    }
  }
  return t;
}

constexpr CrcSliceTables CRC_TABLES = crc_slice_tables_make();

inline std::uint32_t crc_step(std::uint32_t value, unsigned char byte) {
  return (value >> 8) ^ CRC_TABLES.entries[0][(value ^ byte) & 0xFFu];
}

// Four bytes in the order they are stored, the first in the low byte, as the reflected
// running value takes them (one load on a little-endian machine).
inline std::uint32_t crc_load4(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The running value carried across four bytes that were XORed into it: the byte now
// lowest is the first of them, so it has the most bytes still to cross.
inline std::uint32_t crc_step4(std::uint32_t mixed) {
  return CRC_TABLES.entries[3][mixed & 0xFFu] ^ CRC_TABLES.entries[2][(mixed >> 8) & 0xFFu] ^
         CRC_TABLES.entries[1][(mixed >> 16) & 0xFFu] ^ CRC_TABLES.entries[0][mixed >> 24];
}

std::uint32_t crc_run(std::uint32_t value, const unsigned char* bytes, std::uint32_t count) {
  for (; count >= CRC_SLICES; count -= CRC_SLICES, bytes += CRC_SLICES) {
    value = crc_step4(value ^ crc_load4(bytes));
  }
  for (; count != 0; --count, ++bytes) value = crc_step(value, *bytes);
  return value;
}

// Product of two polynomials modulo the CRC polynomial, both in the reflected bit order
// of the running value (bit 31 holds the coefficient of x^0).
constexpr std::uint32_t crc_multiply(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t bit = 0x80000000u; bit != 0; bit >>= 1) {
    if ((a & bit) != 0) product ^= b;
    b = (b & 1u) != 0 ? (b >> 1) ^ CRC_POLYNOMIAL : b >> 1;
  }
  return product;
}

// x^(8 * byte_count) modulo the CRC polynomial: running a value over byte_count zero
// bytes multiplies it by this.
constexpr std::uint32_t crc_zero_bytes_operator(std::uint32_t byte_count) {
  std::uint32_t result = 0x80000000u;  // x^0
  std::uint32_t power = 0x00800000u;   // x^8, one zero byte
  for (; byte_count != 0; byte_count >>= 1) {
    if ((byte_count & 1u) != 0) result = crc_multiply(result, power);
    power = crc_multiply(power, power);
  }
  return result;
}

// Runs are cut into blocks of CRC_LANES lanes, each lane one of a few fixed lengths so
// that the operator joining the lanes is a constant. The longest lanes come first; what
// is left below the shortest block goes through crc_run alone.
constexpr std::uint32_t CRC_LANES = 4;
constexpr std::uint32_t CRC_LANE_LENGTHS[] = {1024, 256, 64};
constexpr std::uint32_t CRC_LANE_OPERATORS[] = {
    crc_zero_bytes_operator(CRC_LANE_LENGTHS[0]),
    crc_zero_bytes_operator(CRC_LANE_LENGTHS[1]),
    crc_zero_bytes_operator(CRC_LANE_LENGTHS[2]),
};
static_assert(sizeof(CRC_LANE_LENGTHS) == sizeof(CRC_LANE_OPERATORS), "one operator per lane length");

// One block of CRC_LANES lanes of lane bytes each. The CRC is linear: the value over A
// followed by B equals the value over A carried across |B| zero bytes, XORed with the
// value of B alone started from 0. So lanes 1 to 3 start from 0 and are joined onto
// lane 0 in order.
inline std::uint32_t crc_block(std::uint32_t value, const unsigned char* bytes, std::uint32_t lane,
                               std::uint32_t across_lane) {
  static_assert(CRC_LANES == 4, "the block below computes four lanes");
  std::uint32_t v0 = value, v1 = 0, v2 = 0, v3 = 0;
  const unsigned char* const end = bytes + lane;
  for (const unsigned char* p = bytes; p != end; p += CRC_SLICES) {
    v0 = crc_step4(v0 ^ crc_load4(p));
    v1 = crc_step4(v1 ^ crc_load4(p + lane));
    v2 = crc_step4(v2 ^ crc_load4(p + 2 * lane));
    v3 = crc_step4(v3 ^ crc_load4(p + 3 * lane));
  }
  value = crc_multiply(v0, across_lane) ^ v1;
  value = crc_multiply(value, across_lane) ^ v2;
  return crc_multiply(value, across_lane) ^ v3;
}

}  // namespace

struct CrcTable {
  ReleaseFn release;
};

CrcTable* crc_table_create(AllocateFn allocate, ReleaseFn release) {
  if (allocate == nullptr || release == nullptr) return nullptr;
  auto* crc = static_cast<CrcTable*>(allocate(sizeof(CrcTable)));
  if (crc == nullptr) return nullptr;
  crc->release = release;
  return crc;
}

int crc_table_complete(const CrcTable* table) { return table != nullptr ? 1 : 0; }

std::uint32_t crc_update(const CrcTable* table, std::uint32_t value, const unsigned char* bytes,
                         std::uint32_t count) {
  if (table == nullptr) return value;
  for (std::size_t k = 0; k < sizeof(CRC_LANE_LENGTHS) / sizeof(CRC_LANE_LENGTHS[0]); ++k) {
    const std::uint32_t lane = CRC_LANE_LENGTHS[k];
    for (; count >= CRC_LANES * lane; count -= CRC_LANES * lane, bytes += CRC_LANES * lane) {
      value = crc_block(value, bytes, lane, CRC_LANE_OPERATORS[k]);
    }
  }
  return crc_run(value, bytes, count);
}

int crc_table_free(CrcTable* table) {
  table->release(table);
  return 0;
}
