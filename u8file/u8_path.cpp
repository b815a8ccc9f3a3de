// Separator normalisation and UTF-8 to UTF-16 conversion into the layer's fixed buffers.

#include "u8file/u8_path.h"

#include <windows.h>

#include <cerrno>

bool u8_normalise_path(const char* path, U8PathBuffer& out) {
  bs_clear(out);
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (!bs_copy(out, path)) {
    bs_clear(out);
    errno = ENAMETOOLONG;
    return false;
  }
  // Bytewise is safe: 0x2F never occurs inside a multi-byte UTF-8 sequence.
  for (std::size_t i = 0; i < out.length; ++i) {
    if (out.text[i] == '/') out.text[i] = '\\';
  }
  return true;
}

bool u8_to_wide(const char* text, U8WideBuffer& out, std::size_t wide_limit) {
  for (wchar_t& unit : out.text) unit = 0;
  out.length = 0;
  if (text == nullptr) {
    errno = EINVAL;
    return false;
  }
  if (wide_limit > U8_WIDE_CAPACITY) wide_limit = U8_WIDE_CAPACITY;
  // Length -1 converts the terminator too, so a success always ends in one.
  const int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, out.text, static_cast<int>(wide_limit));
  if (units <= 0) {
    // A conversion cut short may have written part of the text: leave none of it.
    for (wchar_t& unit : out.text) unit = 0;
    errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EINVAL;
    return false;
  }
  out.length = static_cast<std::size_t>(units) - 1;
  return true;
}

bool u8_normalised_wide_path(const char* path, U8WideBuffer& out, std::size_t wide_limit) {
  U8PathBuffer narrow;
  if (!u8_normalise_path(path, narrow)) {
    for (wchar_t& unit : out.text) unit = 0;
    out.length = 0;
    return false;
  }
  return u8_to_wide(narrow.text, out, wide_limit);
}
