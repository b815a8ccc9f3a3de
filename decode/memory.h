#pragma once
// The allocate/release pair through which the decoding subsystem obtains every block
// of memory it uses. It never calls the heap on its own.

#include <cstddef>

using AllocateFn = void* (*)(std::size_t size);  // a block, or nullptr
using ReleaseFn = void (*)(void* block);
