#pragma once
// Texts that the installer takes from Windows, each written into a bounded string by
// bs_fill: its own module path and the conversions between UTF-8 and UTF-16. A text that
// does not fit whole is never used cut short: the string is left empty and the call
// answers false.

#include <windows.h>

#include <cstddef>

#include "common/bounded_string.h"

// The installer's own file. Each caller chooses the capacity for its purpose; a path
// that GetModuleFileNameW has to cut would name another file (and Windows XP leaves it
// unterminated), so it counts as not obtained.
template <std::size_t Capacity>
bool own_module_path(PathW<Capacity>& out) {
  return bs_fill(out, [](wchar_t* text, std::size_t capacity) {
    const DWORD units = GetModuleFileNameW(nullptr, text, static_cast<DWORD>(capacity));
    return units != 0 && units < capacity;
  });
}

// Zero-terminated UTF-16 text as UTF-8 (no flags, no default character).
template <std::size_t Capacity>
bool utf8_from_wide(const wchar_t* text, PathU8<Capacity>& out) {
  return bs_fill(out, [text](char* bytes, std::size_t capacity) {
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, static_cast<int>(capacity), nullptr, nullptr) > 0;
  });
}

// Zero-terminated UTF-8 text as UTF-16 (no flags).
template <std::size_t Capacity>
bool wide_from_utf8(const char* text, PathW<Capacity>& out) {
  return bs_fill(out, [text](wchar_t* units, std::size_t capacity) {
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, units, static_cast<int>(capacity)) > 0;
  });
}
