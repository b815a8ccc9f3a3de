#pragma once
// How orvinta-pack talks to its user: errors and warnings on stderr, each one line,
// prefixed with the program's name; entry names shown with unprintable bytes escaped.

#include <cstddef>
#include <string>

#if defined(__GNUC__) || defined(__clang__)
#define PACK_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define PACK_PRINTF_FORMAT
#endif

void pack_error(const char* format, ...) PACK_PRINTF_FORMAT;
void pack_warning(const char* format, ...) PACK_PRINTF_FORMAT;

// Under --strict every warning is printed and counted as an error.
void pack_set_strict(bool strict);
// Warnings given so far (errors under --strict).
int pack_warning_count();

// The first error of the run, for reports that repeat it (JSON); empty when none.
const std::string& pack_first_error();

// Another program's or library's own report, shown only with --verbose: each line
// indented below the error it explains.
void pack_details(const std::string& text);

// The name in double quotes; control bytes, '"', '\' and bytes that are not part of
// valid UTF-8 written as \xNN, so that a hostile name cannot drive the terminal or
// hide its true spelling.
std::string name_for_display(const char* name, std::size_t length);
std::string name_for_display(const std::string& name);
