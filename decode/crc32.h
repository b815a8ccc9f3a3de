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
// 1 for every object crc_table_create made: the lookup tables are part of the program,
// so nothing beyond the object itself can fail to be allocated. 0 only for a null object
// (crc_update returns every running value unchanged with one, so nothing is verified).
int crc_table_complete(const CrcTable* table);
