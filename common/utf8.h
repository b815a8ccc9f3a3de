#pragma once
// Well-formed UTF-8: the one definition shared by the installer's entry-name check and
// the packing tool's name rules. A sequence is well formed when it is the shortest form
// of a Unicode scalar value: no stray continuation byte, no overlong form (C0 AE for
// "."), no surrogate (U+D800 to U+DFFF), nothing above U+10FFFF, nothing cut short.
// Windows XP's conversion to UTF-16 drops what is not, so a name has to be checked as
// the characters it will become, not as the bytes it is.

#include <cstddef>
#include <cstdint>

// The length (1 to 4) of the well-formed sequence at text[pos], with its scalar value in
// *code; 0 when the bytes there, within text[0, length), are not one.
constexpr std::size_t utf8_decode(const char* text, std::size_t length, std::size_t pos, std::uint32_t* code) {
  const std::uint8_t lead = static_cast<std::uint8_t>(text[pos]);
  std::size_t extra = 0;
  std::uint32_t value = 0;
  std::uint32_t minimum = 0;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;  // a continuation byte with no lead, or F8 to FF
  }
  if (length - pos <= extra) return 0;
  for (std::size_t i = 1; i <= extra; ++i) {
    const std::uint8_t next = static_cast<std::uint8_t>(text[pos + i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return extra + 1;
}

// Whether all of text[0, length) is well-formed UTF-8.
constexpr bool utf8_valid(const char* text, std::size_t length) {
  std::size_t pos = 0;
  while (pos < length) {
    std::uint32_t code = 0;
    const std::size_t sequence = utf8_decode(text, length, pos, &code);
    if (sequence == 0) return false;
    pos += sequence;
  }
  return true;
}

static_assert(utf8_valid("\xC3\xA9t\xC3\xA9", 5) && utf8_valid("\xF4\x8F\xBF\xBF", 4),
              "two-byte letters and U+10FFFF are well formed");
static_assert(!utf8_valid("\xC0\xAE", 2) && !utf8_valid("\xED\xA0\x80", 3) && !utf8_valid("\xF4\x90\x80\x80", 4),
              "an overlong dot, a surrogate and U+110000 are not");
