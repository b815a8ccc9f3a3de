// Messages of orvinta-pack.

#include "tools/pack_message.h"

#include <cstdarg>
#include <cstdio>

#include "common/utf8.h"
#include "tools/pack_status.h"

namespace {

std::string g_first_error;
bool g_strict = false;
int g_warnings = 0;

void remember_first(const char* format, std::va_list arguments) {
  if (!g_first_error.empty()) return;
  std::va_list copy;
  va_copy(copy, arguments);
  char text[1024];
  std::vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  g_first_error = text;
}

void print_line(const char* kind, const char* format, std::va_list arguments) {
  std::fprintf(stderr, "%s: %s", PACK_PROGRAM, kind);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
}

}  // namespace

void pack_error(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  remember_first(format, arguments);
  print_line("error: ", format, arguments);
  va_end(arguments);
}

const std::string& pack_first_error() { return g_first_error; }

void pack_details(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) std::fprintf(stderr, "  | %.*s\n", static_cast<int>(end - start), text.c_str() + start);
    start = end + 1;
  }
}

void pack_warning(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  ++g_warnings;
  if (g_strict) remember_first(format, arguments);
  print_line(g_strict ? "error (--strict): " : "warning: ", format, arguments);
  va_end(arguments);
}

void pack_set_strict(bool strict) { g_strict = strict; }

int pack_warning_count() { return g_warnings; }

std::string name_for_display(const char* name, std::size_t length) {
  std::string shown = "\"";
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    std::uint32_t code = 0;
    const std::size_t sequence = utf8_decode(name, length, i, &code);
    if (sequence > 1) {
      shown.append(name + i, sequence);
      i += sequence - 1;
    } else if (c < 0x20 || c == 0x7F || c == '"' || c == '\\' || sequence == 0) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  shown += '"';
  return shown;
}

std::string name_for_display(const std::string& name) {
  return name_for_display(name.data(), name.size());
}
