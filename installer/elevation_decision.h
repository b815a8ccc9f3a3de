#pragma once
// The operating-system generation as is_vista_or_later settles it, from the three things
// it observes, so that every row can be checked without the system that produces it.

#include <cstdint>

// Bit 31 of GetVersion's value is set on the old Windows 95/98/Me family.
constexpr std::uint32_t VERSION_NON_NT_FLAG = 0x80000000u;
constexpr std::uint32_t VERSION_MAJOR_MASK = 0xFFu;
constexpr std::uint32_t VISTA_MAJOR_VERSION = 6;

// kernel32_loaded: LoadLibraryA("kernel32.dll") gave a module; has_get_locale_info_ex:
// that module exports GetLocaleInfoEx (every Windows from Vista on does, none before);
// get_version: GetVersion's value, consulted only when kernel32 could not be loaded.
constexpr int vista_or_later_from(bool kernel32_loaded, bool has_get_locale_info_ex,
                                  std::uint32_t get_version) {
  if (kernel32_loaded) return has_get_locale_info_ex ? 1 : 0;
  const bool non_nt = (get_version & VERSION_NON_NT_FLAG) != 0;
  const std::uint32_t major = get_version & VERSION_MAJOR_MASK;
  return !non_nt && major >= VISTA_MAJOR_VERSION ? 1 : 0;
}
