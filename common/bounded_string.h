#pragma once
// Fixed-capacity text buffers for paths and messages. Every operation keeps the buffer
// zero-terminated and never writes past it: when a text does not fit, the operation
// returns false and the buffer holds the part that fits (for narrow text, cut at a
// UTF-8 character boundary, so a cut message still shows whole characters).

#include <cstddef>

// The fields are read freely; only the operations below write them, so that text and
// length always agree and the terminator is always in place.
template <typename Char, std::size_t Capacity>
struct BoundedString {
  static_assert(Capacity >= 1, "room for the terminator is needed");
  // Empty from the start: no user has to clear a fresh string before using it.
  BoundedString() : length(0) { text[0] = 0; }
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

// Empties the string and zeroes every unit of its buffer, so that whatever is written
// into it later is followed by zeros (the shell's path lists end in two terminators).
template <typename Char, std::size_t Capacity>
void bs_zero(BoundedString<Char, Capacity>& s) {
  for (Char& unit : s.text) unit = 0;
  s.length = 0;
}

// Appends source up to its terminator, or its first count characters if it is longer.
template <typename Char, std::size_t Capacity>
bool bs_append_prefix(BoundedString<Char, Capacity>& s, const Char* source, std::size_t count) {
  for (std::size_t i = 0; i < count && source[i] != 0; ++i) {
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
bool bs_append(BoundedString<Char, Capacity>& s, const Char* source) {
  return bs_append_prefix(s, source, static_cast<std::size_t>(-1));
}

template <typename Char, std::size_t Capacity>
bool bs_copy(BoundedString<Char, Capacity>& s, const Char* source) {
  bs_clear(s);
  return bs_append(s, source);
}

// Fills the string through a call that writes zero-terminated text into a plain buffer,
// as Windows functions do: write(text, Capacity) gets the zeroed buffer and its capacity
// and returns whether it succeeded. The string then holds the text up to its terminator.
// A failed call, or one that left no terminator inside the buffer (a text cut short),
// leaves the string empty and all zeros, and gives false; a cut text is never used.
template <typename Char, std::size_t Capacity, typename Write>
bool bs_fill(BoundedString<Char, Capacity>& s, Write write) {
  bs_zero(s);
  if (!write(s.text, Capacity)) {
    bs_zero(s);
    return false;
  }
  std::size_t length = 0;
  while (length < Capacity && s.text[length] != 0) ++length;
  if (length == Capacity) {
    bs_zero(s);
    return false;
  }
  s.length = length;
  return true;
}

// Shortens the string to its first length characters; a longer length changes nothing.
template <typename Char, std::size_t Capacity>
void bs_truncate(BoundedString<Char, Capacity>& s, std::size_t length) {
  if (length >= s.length || length >= Capacity) return;
  s.length = length;
  s.text[length] = 0;
}

// Replaces every `from` by `to`; neither may be the terminator.
template <typename Char, std::size_t Capacity>
void bs_replace(BoundedString<Char, Capacity>& s, Char from, Char to) {
  for (std::size_t i = 0; i < s.length; ++i) {
    if (s.text[i] == from) s.text[i] = to;
  }
}

// The placeholder of a message format: the one place where bs_format puts its argument.
constexpr char BS_PLACEHOLDER[] = "%s";
constexpr std::size_t BS_PLACEHOLDER_LENGTH = sizeof(BS_PLACEHOLDER) - 1;

// Where the first placeholder of format starts, or null when it has none.
constexpr const char* bs_find_placeholder(const char* format) {
  for (const char* at = format; *at != 0; ++at) {
    if (at[0] == BS_PLACEHOLDER[0] && at[1] == BS_PLACEHOLDER[1]) return at;
  }
  return nullptr;
}

// How many placeholders format holds; formats given to bs_format should hold exactly one
// (checked where they are defined, at compile time).
constexpr int bs_placeholder_count(const char* format) {
  int count = 0;
  for (const char* at = bs_find_placeholder(format); at != nullptr;
       at = bs_find_placeholder(at + BS_PLACEHOLDER_LENGTH)) {
    ++count;
  }
  return count;
}

// The format with its first "%s" replaced by argument (null counts as empty); every other
// byte of the format, another "%s" or "%%" included, is copied as it stands. This is all
// the formatting the installer needs, and it keeps the C library's printf family (some
// 20 KB of the stub with MinGW's) out of it. False when the result had to be cut; it is
// then cut at a UTF-8 character boundary, like every other bounded text.
template <std::size_t Capacity>
bool bs_format(BoundedString<char, Capacity>& s, const char* format, const char* argument) {
  bs_clear(s);
  const char* placeholder = bs_find_placeholder(format);
  if (placeholder == nullptr) return bs_append(s, format);
  return bs_append_prefix(s, format, static_cast<std::size_t>(placeholder - format)) &&
         bs_append(s, argument != nullptr ? argument : "") &&
         bs_append(s, placeholder + BS_PLACEHOLDER_LENGTH);
}
