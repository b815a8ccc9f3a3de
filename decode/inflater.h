#pragma once
// Push-driven raw Deflate decoder (RFC 1951). The caller pushes compressed bytes in
// pieces of any size; decoded bytes come back through the output callback in pieces
// of 1 to 32768 bytes; inflater_finish gives the verdict and releases the record.

#include <cstdint>

#include "decode/memory.h"

struct Inflater;

// Returns 0 to go on, nonzero to abort decoding (the inflater then latches its error).
using InflaterOutputFn = int (*)(void* user_data, const unsigned char* bytes, std::uint32_t count);

Inflater* inflater_create(void* user_data, InflaterOutputFn output_callback,
                          AllocateFn allocate, ReleaseFn release);
int inflater_feed(Inflater* inflater, const unsigned char* data, std::uint32_t length);
int inflater_finish(Inflater* inflater);
