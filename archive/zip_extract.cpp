// Extraction of the current entry into a caller's stream. Stored data is copied chunk
// by chunk; Deflate data is pushed through the decoder, whose output comes back through
// zip_write_output, bounded by the header's uncompressed size and run through CRC-32.
// The decoder and the CRC table live only within one call and are released on every
// path that created them.

#include "archive/zip_reader_record.h"

#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Empties the file behind the stream; the stream has just been sought to offset 0,
// which also wrote out anything it still buffered.
int truncate_output(FILE* output) {
#if defined(_WIN32)
  return _chsize(_fileno(output), 0);
#else
  return ftruncate(fileno(output), 0);
#endif
}

void release_decoding(ZipReader* reader) {
  if (reader->decoder != nullptr) {
    if (inflater_finish(reader->decoder) != 0) reader->status = -1;
    reader->decoder = nullptr;
    if (reader->crc != ~reader->header.crc32) reader->status = -1;
  }
  if (reader->crc_table != nullptr) {
    if (crc_table_free(reader->crc_table) != 0) reader->status = -1;
    reader->crc_table = nullptr;
  }
}

}  // namespace

void* zip_allocate(std::size_t size) { return std::malloc(size); }

void zip_release(void* block) { std::free(block); }

int zip_write_output(void* user_data, const unsigned char* bytes, std::uint32_t count) {
  auto* reader = static_cast<ZipReader*>(user_data);
  if (reader->status != 0) return -1;
  // Summed in 64 bits: a 32-bit sum could wrap and let output through past the bound.
  if (static_cast<std::uint64_t>(reader->written) + count > reader->header.uncompressed_size) {
    reader->status = -1;
    return -1;
  }
  reader->crc = crc_update(reader->crc_table, reader->crc, bytes, count);
  if (std::fwrite(bytes, 1, count, reader->output) != count) {
    reader->status = -1;
    return -1;
  }
  reader->written += count;
  return reader->status;
}

int zip_extract(ZipReader* reader, FILE* output) {
  if (reader == nullptr) return -1;
  if (reader->status != 0) return -1;
  const ZipLocalHeader& h = reader->header;
  if ((h.flags & ZIP_FLAG_ENCRYPTED) != 0 || output == nullptr) {
    reader->status = -1;
    return -1;
  }
  if (h.method != ZIP_METHOD_STORED && h.method != ZIP_METHOD_DEFLATE) {
    reader->status = -1;
    return -1;
  }

  reader->output = output;
  if (std::fseek(reader->input, reader->data_offset, SEEK_SET) != 0 ||
      std::fseek(output, 0, SEEK_SET) != 0 || truncate_output(output) != 0) {
    reader->status = -1;
    return -1;
  }
  reader->compressed_read = 0;
  reader->written = 0;
  reader->decoder = nullptr;
  reader->crc_table = nullptr;

  if (h.method == ZIP_METHOD_DEFLATE) {
    reader->decoder = inflater_create(reader, zip_write_output, zip_allocate, zip_release);
    reader->crc = 0xFFFFFFFFu;
    reader->crc_table = crc_table_create(zip_allocate, zip_release);
    // A table object without its table would leave the running value unchanged, and a
    // header CRC-32 of 0 would then pass any data: such an object is no CRC at all.
    if (reader->decoder == nullptr || reader->crc_table == nullptr ||
        crc_table_complete(reader->crc_table) == 0) {
      reader->status = -1;
    }
  }

  unsigned char chunk[ZIP_CHUNK_SIZE];
  while (reader->status == 0 && reader->compressed_read < h.compressed_size) {
    const std::uint32_t left = h.compressed_size - reader->compressed_read;
    const std::uint32_t n = left < ZIP_CHUNK_SIZE ? left : ZIP_CHUNK_SIZE;
    if (std::fread(chunk, 1, n, reader->input) != n) {
      reader->status = -1;
      break;
    }
    if (reader->scrambled) zip_unscramble(chunk, n);
    reader->compressed_read += n;
    if (reader->decoder != nullptr) {
      if (inflater_feed(reader->decoder, chunk, n) != 0) {
        reader->status = -1;
        break;
      }
    } else {
      if (std::fwrite(chunk, 1, n, output) != n) {
        reader->status = -1;
        break;
      }
      reader->written += n;
    }
  }

  release_decoding(reader);
  if (std::fseek(output, 0, SEEK_SET) != 0) reader->status = -1;
  return reader->status;
}
