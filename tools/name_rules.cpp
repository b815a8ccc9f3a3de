// Entry name rules for building, verifying and extracting installers.

#include "tools/name_rules.h"

#include <cstring>

#include "common/utf8.h"

namespace {

constexpr char INSTALLED_PROGRAM[] = "orvinta.exe";

// Windows device names: a file named like one, with any extension and in any letter
// case, opens the device instead ("nul.txt" and "NUL.tar.gz" are NUL).
constexpr const char* DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
// The serial and parallel ports: COM and LPT followed by one digit. Windows counts the
// Latin-1 superscripts 1, 2 and 3 (U+00B9, U+00B2, U+00B3) among the digits, and its
// list of reserved names includes COM0 and LPT0.
constexpr const char* PORT_NAMES[] = {"COM", "LPT"};
constexpr const char* PORT_DIGITS[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                       "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool is_reserved(char c) { return c != 0 && std::strchr("<>\"|?*", c) != nullptr; }

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Upper-case letters of the ranges named in the header, mapped to their lower case.
std::uint32_t fold_code(std::uint32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c == 0x130 || c == 0x131) return c;  // dotted I and dotless i pair with ASCII letters
  if (c >= 0x100 && c <= 0x137) return c | 1;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  return c;
}

// Whether text[0, length) is word in ASCII letters of either case.
bool equals_ignoring_case(const char* text, std::size_t length, const char* word) {
  std::size_t i = 0;
  for (; i < length && word[i] != 0; ++i) {
    if (ascii_upper(text[i]) != word[i]) return false;
  }
  return i == length && word[i] == 0;
}

bool is_device_name(const char* name, std::size_t length) {
  std::size_t stem = 0;
  while (stem < length && name[stem] != '.') ++stem;
  while (stem > 0 && name[stem - 1] == ' ') --stem;  // "NUL .txt" is the device as well
  for (const char* device : DEVICE_NAMES) {
    if (equals_ignoring_case(name, stem, device)) return true;
  }
  constexpr std::size_t PORT_NAME_LENGTH = 3;
  if (stem <= PORT_NAME_LENGTH) return false;
  for (const char* port : PORT_NAMES) {
    if (!equals_ignoring_case(name, PORT_NAME_LENGTH, port)) continue;
    for (const char* digit : PORT_DIGITS) {
      if (std::strlen(digit) == stem - PORT_NAME_LENGTH &&
          std::memcmp(name + PORT_NAME_LENGTH, digit, stem - PORT_NAME_LENGTH) == 0) {
        return true;
      }
    }
  }
  return false;
}

// Looks for a ".." among the parts of a name separated by either slash.
bool has_parent_part(const char* name, std::size_t length) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    if (i == length || is_separator(name[i])) {
      if (i - start == 2 && name[start] == '.' && name[start + 1] == '.') return true;
      start = i + 1;
    }
  }
  return false;
}

// The checks that keep a file inside its folder; shared by both rule sets.
NameProblem check_placement(const char* name, std::size_t length) {
  if (length == 0) return NameProblem::empty;
  if (is_separator(name[0])) return NameProblem::absolute;
  for (std::size_t i = 0; i < length; ++i) {
    if (name[i] == ':') return NameProblem::colon;
    if (name[i] == 0 || is_control(static_cast<unsigned char>(name[i]))) {
      return NameProblem::control_char;
    }
  }
  if (has_parent_part(name, length)) return NameProblem::parent_part;
  for (std::size_t i = 0; i < length; ++i) {
    if (is_separator(name[i])) return NameProblem::folder_part;
  }
  if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.')) {
    return NameProblem::dot_name;
  }
  return NameProblem::none;
}

}  // namespace

NameProblem name_check_install(const char* name, std::size_t length) {
  const NameProblem placement = check_placement(name, length);
  if (placement != NameProblem::none) return placement;
  if (length > NAME_MAX_BYTES) return NameProblem::too_long;
  for (std::size_t i = 0; i < length; ++i) {
    if (is_reserved(name[i])) return NameProblem::reserved_char;
  }
  if (name[length - 1] == '.' || name[length - 1] == ' ') {
    return NameProblem::trailing_dot_or_space;
  }
  if (is_device_name(name, length)) return NameProblem::device_name;
  if (!utf8_valid(name, length)) return NameProblem::bad_utf8;
  return NameProblem::none;
}

NameProblem name_check_extract(const char* name, std::size_t length) {
  return check_placement(name, length);
}

const char* name_problem_text(NameProblem problem) {
  switch (problem) {
    case NameProblem::none: return "is acceptable";
    case NameProblem::empty: return "is empty";
    case NameProblem::too_long: return "is longer than 190 bytes, too long for the installer's 255-byte path";
    case NameProblem::absolute: return "is an absolute path";
    case NameProblem::folder_part: return "has a folder part (the installer creates no folders)";
    case NameProblem::parent_part: return "has a \"..\" part that leads out of the folder";
    case NameProblem::colon: return "holds a \":\" (drive letter or alternate data stream)";
    case NameProblem::control_char: return "holds a control character";
    case NameProblem::reserved_char: return "holds one of < > \" | ? *, which Windows does not allow";
    case NameProblem::dot_name: return "is \".\" or \"..\"";
    case NameProblem::trailing_dot_or_space: return "ends in a dot or a space, which Windows drops";
    case NameProblem::device_name: return "is a Windows device name (CON, NUL, COM1 ...)";
    case NameProblem::bad_utf8: return "is not valid UTF-8";
  }
  return "is not acceptable";
}

std::string name_fold_case(const char* name, std::size_t length) {
  std::string folded;
  folded.reserve(length);
  std::size_t pos = 0;
  while (pos < length) {
    std::uint32_t code = 0;
    const std::size_t sequence = utf8_decode(name, length, pos, &code);
    if (sequence != 0) {
      utf8_append(folded, fold_code(code));
      pos += sequence;
    } else {
      folded += name[pos];
      ++pos;
    }
  }
  return folded;
}

bool name_is_installed_program(const char* name, std::size_t length) {
  return name_fold_case(name, length) == INSTALLED_PROGRAM;
}

bool name_is_ascii(const char* name, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(name[i]) >= 0x80) return false;
  }
  return true;
}

void utf8_append(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}
