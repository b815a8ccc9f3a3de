#pragma once
// Constants of the embedded archive: ZIP local entries, every byte XORed with one key.
// Shared by the reader in the installer and by the host packing tool, so that both
// sides of the format are defined in one place.

#include <cstddef>
#include <cstdint>
#include <cstring>

// Every byte of the embedded archive is XORed with this key, with no dependence on position.
constexpr std::uint8_t ZIP_KEY = 0xA7;

constexpr std::uint32_t ZIP_LOCAL_SIGNATURE = 0x04034B50;   // "PK\3\4"
constexpr std::uint32_t ZIP_LOCAL_HEADER_SIZE = 30;
constexpr std::uint32_t ZIP_DESCRIPTOR_SIZE = 16;           // signature, CRC-32, both sizes
constexpr std::uint16_t ZIP_SCAN_VERSION = 20;              // version-needed the scan requires
constexpr std::uint32_t ZIP_NAME_CAPACITY = 256;            // names of at most 255 bytes
constexpr std::uint16_t ZIP_FLAG_ENCRYPTED = 0x0001;
constexpr std::uint16_t ZIP_FLAG_DESCRIPTOR = 0x0008;
constexpr std::uint16_t ZIP_METHOD_STORED = 0;
constexpr std::uint16_t ZIP_METHOD_DEFLATE = 8;
constexpr std::uint32_t ZIP_CHUNK_SIZE = 8192;              // entry data is read in such chunks

// File offsets are signed 32-bit values: the whole archive must lie within the first
// 2 GiB - 1 bytes of its file. Sums of offsets and sizes are formed in 64 bits and
// compared with this bound, so that none can wrap.
constexpr std::int64_t ZIP_OFFSET_MAX = 0x7FFFFFFF;

// The six bytes the scan looks for: the local header signature and version-needed 20.
constexpr std::uint8_t ZIP_SCAN_PATTERN[6] = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00};

// ZIP_KEY in every byte of a machine word.
constexpr std::uintptr_t ZIP_WORD_KEY = ~std::uintptr_t{0} / 0xFF * ZIP_KEY;

// XORs each of the bytes with ZIP_KEY, in place. The operation is its own inverse: it
// unscrambles what was read and scrambles what is to be written. Every byte of the
// payload passes through here, so it works a machine word at a time (the key does not
// depend on the position), through memcpy so that any alignment of bytes is fine.
inline void zip_unscramble(std::uint8_t* bytes, std::size_t count) {
  std::size_t i = 0;
  for (; count - i >= sizeof(std::uintptr_t); i += sizeof(std::uintptr_t)) {
    std::uintptr_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    word ^= ZIP_WORD_KEY;
    std::memcpy(bytes + i, &word, sizeof word);
  }
  for (; i < count; ++i) bytes[i] ^= ZIP_KEY;
}
