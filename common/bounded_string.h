#pragma once
// Fixed-capacity text buffers for paths and messages. Every operation keeps the buffer
// zero-terminated and never writes past it: when a text does not fit, the operation
// returns false and the buffer holds the part that fits (for narrow text, cut at a
// UTF-8 character boundary, so a cut message still shows whole characters).

#include <cstdarg>
#include <cstddef>
#include <cstdio>

template <typename Char, std::size_t Capacity>
struct BoundedString {
  static_assert(Capacity >= 1, "room for the terminator is needed");
  Char text[Capacity];
  std::size_t length;  // characters before the terminator; always below Capacity
};

template <std::size_t Capacity>
using PathU8 = BoundedString<char, Capacity>;
template <std::size_t Capacity>
using PathW = BoundedString<wchar_t, Capacity>;

// Drops a trailing UTF-8 sequence that a cut left incomplete.
inline std::size_t utf8_complete_prefix(const char* text, std::size_t length) {
  std::size_t start = length;
  while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) return length;  // only continuation bytes: not UTF-8, leave as it is
  const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
  std::size_t needed = 1;
  if ((lead & 0xE0) == 0xC0) needed = 2;
  else if ((lead & 0xF0) == 0xE0) needed = 3;
  else if ((lead & 0xF8) == 0xF0) needed = 4;
  const std::size_t have = length - (start - 1);
  return have < needed ? start - 1 : length;
}

template <typename Char, std::size_t Capacity>
void bs_clear(BoundedString<Char, Capacity>& s) {
  s.text[0] = 0;
  s.length = 0;
}

template <typename Char, std::size_t Capacity>
bool bs_append(BoundedString<Char, Capacity>& s, const Char* source) {
  for (std::size_t i = 0; source[i] != 0; ++i) {
    if (s.length + 1 >= Capacity) {
      if constexpr (sizeof(Char) == 1) s.length = utf8_complete_prefix(s.text, s.length);
      s.text[s.length] = 0;
      return false;
    }
    s.text[s.length++] = source[i];
  }
  s.text[s.length] = 0;
  return true;
}

template <typename Char, std::size_t Capacity>
bool bs_copy(BoundedString<Char, Capacity>& s, const Char* source) {
  bs_clear(s);
  return bs_append(s, source);
}

// printf-style formatting into the buffer; false when the result had to be cut.
template <std::size_t Capacity>
bool bs_format(BoundedString<char, Capacity>& s, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(s.text, Capacity, format, args);
  va_end(args);
  if (n < 0) {
    bs_clear(s);
    return false;
  }
  if (static_cast<std::size_t>(n) >= Capacity) {
    s.length = utf8_complete_prefix(s.text, Capacity - 1);
    s.text[s.length] = 0;
    return false;
  }
  s.length = static_cast<std::size_t>(n);
  return true;
}
