// Table-driven CRC-32 of ZIP archives. The table is computed when the object is made
// (nothing of it is stored in the program) and only read afterwards, so one object can
// serve any number of running values.

#include "decode/crc32.h"

#include <cstddef>

namespace {

constexpr std::uint32_t CRC_POLYNOMIAL = 0xEDB88320u;  // IEEE 802.3, reflected
constexpr std::size_t CRC_TABLE_ENTRIES = 256;

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
  for (std::uint32_t i = 0; i < count; ++i) {
    value = (value >> 8) ^ entries[(value ^ bytes[i]) & 0xFFu];
  }
  return value;
}

int crc_table_free(CrcTable* table) {
  ReleaseFn release = table->release;
  if (table->table != nullptr) release(table->table);
  release(table);
  return 0;
}
