#pragma once
// Constants of the embedded archive: ZIP local entries, every byte XORed with one key.
// Shared by the reader in the installer and by the host packing tool, so that both
// sides of the format are defined in one place.

#include <cstdint>

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

// The six bytes the scan looks for: the local header signature and version-needed 20.
constexpr std::uint8_t ZIP_SCAN_PATTERN[6] = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00};
