#pragma once
// CRC-32 of ZIP archives (reflected IEEE 802.3 polynomial). The running value is the
// caller's: start from 0xFFFFFFFF; the finished CRC-32 is its bitwise complement.

#include <cstdint>

#include "decode/memory.h"

struct CrcTable;

CrcTable* crc_table_create(AllocateFn allocate, ReleaseFn release);
std::uint32_t crc_update(const CrcTable* table, std::uint32_t value,
                         const unsigned char* bytes, std::uint32_t count);
int crc_table_free(CrcTable* table);
// 1 when the object holds its lookup table, 0 when that allocation failed (crc_update
// then returns every running value unchanged, so a caller cannot verify anything with it).
int crc_table_complete(const CrcTable* table);
