#pragma once
// Path conversion shared by the UTF-8 file layer: every UTF-8 argument is copied into a
// fixed buffer of the calling operation and converted to UTF-16 there, never in place.

#include <cstddef>

#include "common/bounded_string.h"

// A UTF-8 path of at most 1023 bytes and a UTF-16 form of at most 1023 units fit; the
// last unit always holds a terminator.
constexpr std::size_t U8_PATH_CAPACITY = 1024;
constexpr std::size_t U8_WIDE_CAPACITY = 1024;

using U8PathBuffer = PathU8<U8_PATH_CAPACITY>;
using U8WideBuffer = PathW<U8_WIDE_CAPACITY>;

// Copies path into the UTF-8 buffer with every "/" turned into "\". False, with errno set,
// when path is null or longer than the buffer holds.
bool u8_normalise_path(const char* path, U8PathBuffer& out);

// Converts zero-terminated UTF-8 text into out, whose units are first all zeroed; at most
// wide_limit units are written, terminator included (wide_limit <= U8_WIDE_CAPACITY), so
// out.text[wide_limit..] stays zero. False, with errno set, when text is null or its
// UTF-16 form does not fit.
bool u8_to_wide(const char* text, U8WideBuffer& out, std::size_t wide_limit = U8_WIDE_CAPACITY);

// Both steps: the separators normalised, then the conversion.
bool u8_normalised_wide_path(const char* path, U8WideBuffer& out,
                             std::size_t wide_limit = U8_WIDE_CAPACITY);
