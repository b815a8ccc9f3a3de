// Messages of orvinta-pack.

#include "tools/pack_message.h"

#include <cstdarg>
#include <cstdio>

#include "tools/pack_status.h"

namespace {

void print_line(const char* kind, const char* format, std::va_list arguments) {
  std::fprintf(stderr, "%s: %s", PACK_PROGRAM, kind);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
}

}  // namespace

void pack_error(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  print_line("error: ", format, arguments);
  va_end(arguments);
}

void pack_warning(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  print_line("warning: ", format, arguments);
  va_end(arguments);
}

std::string name_for_display(const char* name, std::size_t length) {
  std::string shown = "\"";
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
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
