// Table-driven CRC-32 of ZIP archives. The table is computed when the object is made
// (nothing of it is stored in the program) and only read afterwards, so one object can
// serve any number of running values.

#include "decode/crc32.h"

#include <cstddef>

namespace {

constexpr std::uint32_t CRC_POLYNOMIAL = 0xEDB88320u;  // IEEE 802.3, reflected
constexpr std::size_t CRC_TABLE_ENTRIES = 256;

// Runs this long are split into CRC_LANES equal parts whose CRCs are computed side by
// side and then joined. Each byte still costs one lookup, one shift and two XORs, but
// the lanes do not wait on each other, so the processor overlaps their lookups; the
// join costs a few hundred operations, which only pays off on long runs.
constexpr std::uint32_t CRC_LANES = 4;
constexpr std::uint32_t CRC_LANE_THRESHOLD = 1024;

inline std::uint32_t crc_step(const std::uint32_t* entries, std::uint32_t value, unsigned char byte) {
  return (value >> 8) ^ entries[(value ^ byte) & 0xFFu];
}

// Product of two polynomials modulo the CRC polynomial, both in the reflected bit order
// of the running value (bit 31 holds the coefficient of x^0).
std::uint32_t crc_multiply(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t bit = 0x80000000u; bit != 0; bit >>= 1) {
    if ((a & bit) != 0) product ^= b;
    b = (b & 1u) != 0 ? (b >> 1) ^ CRC_POLYNOMIAL : b >> 1;
  }
  return product;
}

// x^(8 * byte_count) modulo the CRC polynomial: running a value over byte_count zero
// bytes multiplies it by this.
std::uint32_t crc_zero_bytes_operator(std::uint32_t byte_count) {
  std::uint32_t result = 0x80000000u;  // x^0
  std::uint32_t power = 0x00800000u;   // x^8, one zero byte
  for (; byte_count != 0; byte_count >>= 1) {
    if ((byte_count & 1u) != 0) result = crc_multiply(result, power);
    power = crc_multiply(power, power);
  }
  return result;
}

}  // namespace

struct CrcTable {
  AllocateFn allocate;
  ReleaseFn release;
  std::uint32_t* table;  // CRC_TABLE_ENTRIES entries, or nullptr when its allocation failed
};

static_assert(sizeof(std::uint32_t) * CRC_TABLE_ENTRIES == 1024, "the table is one 1024-byte block");

CrcTable* crc_table_create(AllocateFn allocate, ReleaseFn release) {
  if (allocate == nullptr || release == nullptr) return nullptr;
  auto* crc = static_cast<CrcTable*>(allocate(sizeof(CrcTable)));
  if (crc == nullptr) return nullptr;
  crc->allocate = allocate;
  crc->release = release;
  crc->table = static_cast<std::uint32_t*>(allocate(sizeof(std::uint32_t) * CRC_TABLE_ENTRIES));
  if (crc->table == nullptr) return crc;
  for (std::uint32_t i = 0; i < CRC_TABLE_ENTRIES; ++i) {
    std::uint32_t value = i;
    for (int round = 0; round < 8; ++round) {
      value = (value & 1u) != 0 ? (value >> 1) ^ CRC_POLYNOMIAL : value >> 1;
    }
    crc->table[i] = value;
  }
  return crc;
}

int crc_table_complete(const CrcTable* table) { return table->table != nullptr ? 1 : 0; }

std::uint32_t crc_update(const CrcTable* table, std::uint32_t value, const unsigned char* bytes,
                         std::uint32_t count) {
  const std::uint32_t* entries = table->table;
  if (entries == nullptr) return value;
  std::uint32_t done = 0;
  if (count >= CRC_LANE_THRESHOLD) {
    // The CRC is linear: the value over A followed by B equals the value over A carried
    // across |B| zero bytes, XORed with the value of B alone started from 0. So lanes
    // 1 to 3 start from 0 and are joined onto lane 0 in order.
    const std::uint32_t lane = count / CRC_LANES;
    const unsigned char* p0 = bytes;
    const unsigned char* p1 = p0 + lane;
    const unsigned char* p2 = p1 + lane;
    const unsigned char* p3 = p2 + lane;
    std::uint32_t v0 = value, v1 = 0, v2 = 0, v3 = 0;
    for (std::uint32_t i = 0; i < lane; ++i) {
      v0 = crc_step(entries, v0, p0[i]);
      v1 = crc_step(entries, v1, p1[i]);
      v2 = crc_step(entries, v2, p2[i]);
      v3 = crc_step(entries, v3, p3[i]);
    }
    const std::uint32_t across_lane = crc_zero_bytes_operator(lane);
    value = crc_multiply(v0, across_lane) ^ v1;
    value = crc_multiply(value, across_lane) ^ v2;
    value = crc_multiply(value, across_lane) ^ v3;
    done = lane * CRC_LANES;
  }
  for (std::uint32_t i = done; i < count; ++i) value = crc_step(entries, value, bytes[i]);
  return value;
}

int crc_table_free(CrcTable* table) {
  ReleaseFn release = table->release;
  if (table->table != nullptr) release(table->table);
  release(table);
  return 0;
}
