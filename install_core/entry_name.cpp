// The check that keeps every entry inside the destination folder: the installer may run
// elevated, so an archive must never be able to name a file elsewhere. Plain byte
// tests on the stored name, before any conversion; portable, so the host tests it too.
// The byte tests speak for the name Windows opens only when the name is well-formed
// UTF-8: XP drops invalid sequences in the conversion, so ".\x80." becomes "..".

#include "install_core/entry_name.h"

#include <cstddef>
#include <cstring>

#include "common/utf8.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

enum PartKind { PART_NAMES, PART_STAYS, PART_CLIMBS };

// Windows strips trailing dots and blanks from each path part, so ". ." and "..." would
// not be plain names: a part made only of dots and blanks is treated as a parent
// reference when it has two or more dots, and as the folder it is in (like "." or an
// empty part) otherwise.
PartKind classify_part(const char* part, std::size_t length) {
  std::size_t dots = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (part[i] == '.') ++dots;
    else if (part[i] != ' ') return PART_NAMES;
  }
  return dots >= 2 ? PART_CLIMBS : PART_STAYS;
}

}  // namespace

bool entry_name_is_safe(const char* name) {
  if (name == nullptr || name[0] == 0 || is_separator(name[0])) return false;
  if (!utf8_valid(name, std::strlen(name))) return false;
  std::size_t part_start = 0;
  bool names_something = false;  // "." or "./" would name the destination folder itself
  for (std::size_t i = 0;; ++i) {
    const char c = name[i];
    if (c == ':') return false;
    if (c == 0 || is_separator(c)) {
      const PartKind kind = classify_part(name + part_start, i - part_start);
      if (kind == PART_CLIMBS) return false;
      names_something = names_something || kind == PART_NAMES;
      if (c == 0) return names_something;
      part_start = i + 1;
    }
  }
}
