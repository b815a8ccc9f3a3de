#pragma once
// Little-endian loads and stores of 16- and 32-bit values at any byte address: the byte
// order of every field of the archive's headers and of the executable's headers. Done
// byte by byte, so neither the address's alignment nor the machine's own byte order
// matters. (The decoder's machine-word loads are its own and live in decode/.)

#include <cstdint>

constexpr std::uint16_t le_load16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

constexpr std::uint32_t le_load32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

inline void le_store16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void le_store32(std::uint8_t* at, std::uint32_t value) {
  le_store16(at, static_cast<std::uint16_t>(value));
  le_store16(at + 2, static_cast<std::uint16_t>(value >> 16));
}
