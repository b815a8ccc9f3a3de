// Command-line helpers.

#include "tools/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/pack_message.h"
#include "tools/pack_status.h"

bool cli_is_help(const char* argument) {
  return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0;
}

bool cli_option(int argc, char** argv, int* index, const char* name, std::string* value,
                bool* missing) {
  const char* argument = argv[*index];
  const std::size_t length = std::strlen(name);
  if (std::strncmp(argument, name, length) != 0) return false;
  if (argument[length] == '=') {
    *value = argument + length + 1;
    *index += 1;
    return true;
  }
  if (argument[length] != '\0') return false;
  if (*index + 1 >= argc) {
    *missing = true;
    return true;
  }
  *value = argv[*index + 1];
  *index += 2;
  return true;
}

bool cli_number(const std::string& text, long long low, long long high, long long* value) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

int cli_help(const char* usage) {
  std::fputs(usage, stdout);
  return PACK_EXIT_OK;
}

int cli_usage_error(const char* usage, const std::string& reason) {
  pack_error("%s", reason.c_str());
  std::fputs(usage, stderr);
  return PACK_EXIT_USAGE;
}
