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
  bs_replace(out, '/', '\\');
  return true;
}

bool u8_to_wide(const char* text, U8WideBuffer& out, std::size_t wide_limit) {
  if (text == nullptr) {
    bs_zero(out);
    errno = EINVAL;
    return false;
  }
  if (wide_limit > U8_WIDE_CAPACITY) wide_limit = U8_WIDE_CAPACITY;
  // Length -1 converts the terminator too, so a success always ends in one. A conversion
  // cut short may have written part of the text: the fill then leaves none of it.
  DWORD error = ERROR_SUCCESS;
  const bool converted = bs_fill(out, [text, wide_limit, &error](wchar_t* units, std::size_t) {
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, units, static_cast<int>(wide_limit)) > 0) return true;
    error = GetLastError();
    return false;
  });
  if (!converted) {
    errno = error == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EINVAL;
    return false;
  }
  return true;
}

bool u8_normalised_wide_path(const char* path, U8WideBuffer& out, std::size_t wide_limit) {
  U8PathBuffer narrow;
  if (!u8_normalise_path(path, narrow)) {
    bs_zero(out);
    return false;
  }
  return u8_to_wide(narrow.text, out, wide_limit);
}
