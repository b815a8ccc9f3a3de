#pragma once
// zlib as the reference for raw Deflate streams (no zlib or gzip wrapper): the compressor
// that makes test streams, and the decoder that says what a stream should decode to.
// Header-only, so that the tests, the fuzz target and the benchmark share it without
// linking the test support library.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Compresses the bytes as one raw Deflate stream; empty when zlib refuses the settings.
inline std::vector<unsigned char> zlib_raw_deflate(const unsigned char* data, std::size_t size, int level = 6,
                                                   int strategy = Z_DEFAULT_STRATEGY, int window_bits = 15,
                                                   int mem_level = 8) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (deflateInit2(&z, level, Z_DEFLATED, -window_bits, mem_level, strategy) != Z_OK) return {};
  // deflateBound covers every setting; the margin is for the final block's few bits.
  std::vector<unsigned char> out(deflateBound(&z, static_cast<uLong>(size)) + 64);
  z.next_in = const_cast<unsigned char*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int r = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (r != Z_STREAM_END) return {};
  return out;
}

// Decodes a raw Deflate stream. True when it ends properly; *consumed (if given) is then
// the number of input bytes up to its end. Decoding stops early once the output reaches
// output_limit, so that a tiny stream that expands enormously stays cheap.
inline bool zlib_raw_inflate(const unsigned char* data, std::size_t size, std::vector<unsigned char>* out,
                             std::size_t* consumed = nullptr, std::size_t output_limit = SIZE_MAX) {
  out->clear();
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit2(&z, -15) != Z_OK) return false;
  z.next_in = const_cast<unsigned char*>(data);
  z.avail_in = static_cast<uInt>(size);
  unsigned char buffer[16384];
  int r = Z_OK;
  while (r == Z_OK && out->size() < output_limit) {
    z.next_out = buffer;
    z.avail_out = sizeof buffer;
    r = inflate(&z, Z_NO_FLUSH);
    out->insert(out->end(), buffer, buffer + (sizeof buffer - z.avail_out));
    if (r == Z_BUF_ERROR) break;
  }
  if (consumed != nullptr) *consumed = size - z.avail_in;
  inflateEnd(&z);
  return r == Z_STREAM_END;
}
