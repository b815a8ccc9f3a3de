// The archive walk: finds the first local header by a byte-by-byte signature scan and
// steps from entry to entry by the sizes in each local header. Every operation seeks
// before it reads, so the stream position is never part of the handle's state.
//
// Offsets are signed 32-bit. Every sum of an offset and sizes from the file is formed
// in 64 bits and refused as malformed when it passes INT32_MAX, so a hostile header
// can neither wrap an offset nor point the reader somewhere unintended.

#include "archive/zip_reader_record.h"

#include <cstdlib>
#include <cstring>

#include "common/little_endian.h"

namespace {

constexpr std::size_t SCAN_WINDOW = sizeof(ZIP_SCAN_PATTERN);

bool window_matches(const std::uint8_t* window) {
  for (std::size_t i = 0; i < SCAN_WINDOW; ++i) {
    if (window[i] != ZIP_SCAN_PATTERN[i]) return false;
  }
  return true;
}

// Scans from start for the six-byte pattern. Returns the offset of its first byte, or
// -1 when the stream ends (or, in exact mode, no match at offset 0 or 1).
std::int64_t scan_for_header(FILE* input, std::int64_t start, bool scrambled, bool exact) {
  std::uint8_t window[SCAN_WINDOW] = {};
  std::size_t filled = 0;
  std::int64_t candidate = start - static_cast<std::int64_t>(SCAN_WINDOW);
  for (;;) {
    const int c = std::fgetc(input);
    if (c == EOF) return -1;
    std::uint8_t byte = static_cast<std::uint8_t>(c);
    if (scrambled) zip_unscramble(&byte, 1);
    std::memmove(window, window + 1, SCAN_WINDOW - 1);
    window[SCAN_WINDOW - 1] = byte;
    ++candidate;
    if (filled < SCAN_WINDOW) ++filled;
    if (filled < SCAN_WINDOW) continue;
    if (window_matches(window)) return candidate;
    // A header accepted here must have its 30 bytes addressable by a 32-bit offset.
    if (exact && candidate > 0) return -1;
    if (candidate >= ZIP_OFFSET_MAX) return -1;
  }
}

}  // namespace

void zip_read_header(ZipReader* reader, std::int32_t header_offset) {
  reader->header_offset = header_offset;
  if (std::fseek(reader->input, header_offset, SEEK_SET) != 0) {
    reader->status = -1;
    return;
  }
  std::uint8_t raw[ZIP_LOCAL_HEADER_SIZE];
  if (std::fread(raw, 1, sizeof raw, reader->input) != sizeof raw) {
    reader->status = -1;
    return;
  }
  if (reader->scrambled) zip_unscramble(raw, sizeof raw);

  ZipLocalHeader& h = reader->header;
  h.signature = le_load32(raw + 0);
  h.version_needed = le_load16(raw + 4);
  h.flags = le_load16(raw + 6);
  h.method = le_load16(raw + 8);
  h.mod_time = le_load16(raw + 10);
  h.mod_date = le_load16(raw + 12);
  h.crc32 = le_load32(raw + 14);
  h.compressed_size = le_load32(raw + 18);
  h.uncompressed_size = le_load32(raw + 22);
  h.name_length = le_load16(raw + 26);
  h.extra_length = le_load16(raw + 28);
  // The name buffer keeps a terminator behind at most 255 name bytes; a longer name
  // is a malformed header rather than one to cut short.
  if (h.signature != ZIP_LOCAL_SIGNATURE || h.name_length == 0 || h.name_length >= ZIP_NAME_CAPACITY) {
    reader->status = -1;
    return;
  }

  std::memset(h.name, 0, sizeof h.name);
  if (std::fread(h.name, 1, h.name_length, reader->input) != h.name_length) {
    reader->status = -1;
    return;
  }
  if (reader->scrambled) zip_unscramble(reinterpret_cast<std::uint8_t*>(h.name), h.name_length);

  const std::int64_t data_offset = zip_data_offset(header_offset, h);
  if (data_offset > ZIP_OFFSET_MAX) {
    reader->status = -1;
    return;
  }
  reader->data_offset = static_cast<std::int32_t>(data_offset);
}

ZipReader* zip_open(FILE* input, std::int32_t* offset) {
  if (input == nullptr) return nullptr;

  bool scrambled = false;
  bool exact = true;
  std::int64_t start = 0;
  if (offset != nullptr) {
    scrambled = true;
    exact = *offset == 0;
    start = *offset > 0 ? *offset : 0;
  }

  if (std::fseek(input, static_cast<long>(start), SEEK_SET) != 0) {
    std::fclose(input);
    return nullptr;
  }
  const std::int64_t found = scan_for_header(input, start, scrambled, exact);
  if (found < 0) {
    std::fclose(input);
    return nullptr;
  }

  auto* reader = static_cast<ZipReader*>(std::calloc(1, sizeof(ZipReader)));
  if (reader == nullptr) {
    std::fclose(input);
    return nullptr;
  }
  reader->input = input;
  reader->status = 0;
  reader->scrambled = scrambled ? 1u : 0u;

  zip_read_header(reader, static_cast<std::int32_t>(found));
  if (reader->status != 0) {
    std::free(reader);
    std::fclose(input);
    return nullptr;
  }
  if (offset != nullptr) *offset = static_cast<std::int32_t>(found);
  return reader;
}

int zip_get_info(ZipReader* reader, ZipEntryInfo* info) {
  if (reader == nullptr || info == nullptr || reader->status != 0) return -1;
  *info = reader->header;  // every field and the whole name buffer
  return 0;
}

int zip_next(ZipReader* reader) {
  if (reader == nullptr) return -1;
  if (reader->status != 0) return -1;
  const std::int64_t next = zip_next_header_offset(reader->data_offset, reader->header);
  if (next > ZIP_OFFSET_MAX) {
    reader->status = -1;
    return -1;
  }
  zip_read_header(reader, static_cast<std::int32_t>(next));
  return reader->status;
}

int zip_close(ZipReader* reader) {
  if (reader == nullptr) return -1;
  int result = reader->status;
  if (std::fclose(reader->input) != 0) result = -1;
  std::free(reader);
  return result;
}
