#pragma once
// Small pieces of command-line handling shared by the commands.

#include <string>

// True for "--help" and "-h".
bool cli_is_help(const char* argument);

// Matches "--name VALUE" and "--name=VALUE". On a match stores the value, advances *index
// past what was used and returns true; *missing is set when "--name" is last.
bool cli_option(int argc, char** argv, int* index, const char* name, std::string* value,
                bool* missing);

// Parses a whole decimal number within [low, high].
bool cli_number(const std::string& text, long long low, long long high, long long* value);

// Prints the usage text: to stdout with exit 0 for --help, to stderr with the usage exit
// code after a mistake (reason printed first).
int cli_help(const char* usage);
int cli_usage_error(const char* usage, const std::string& reason);
