// Diagnosis of archive problems for verify and extract.

#include "tools/entry_check.h"

#include <libdeflate.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "archive/zip_format.h"
#include "common/little_endian.h"
#include "tools/zip_central.h"

namespace {

constexpr std::size_t READ_BLOCK = 1 << 16;

std::string hex32(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
  return text;
}

}  // namespace

bool sink_measure(FILE* sink, std::uint64_t* length, std::uint32_t* crc) {
  *length = 0;
  *crc = 0;
  if (std::fflush(sink) != 0 || std::fseek(sink, 0, SEEK_SET) != 0) return false;
  std::vector<unsigned char> block(READ_BLOCK);
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), sink);
    *crc = libdeflate_crc32(*crc, block.data(), got);
    *length += got;
    if (got < block.size()) break;
  }
  return std::ferror(sink) == 0;
}

std::string entry_failure_reason(const ArchiveWalk* walk, FILE* sink) {
  const ZipEntryInfo& info = walk->info;
  if (info.flags & ZIP_FLAG_ENCRYPTED) {
    return "the entry is encrypted (flag bit 0), which the installer cannot extract";
  }
  if (info.method != ZIP_METHOD_STORED && info.method != ZIP_METHOD_DEFLATE) {
    return "compression method " + std::to_string(info.method) +
           " is neither stored (0) nor Deflate (8)";
  }
  const std::int64_t data_end = walk_data_offset(walk) + info.compressed_size;
  if (data_end > walk->file_size) {
    return "the entry data is cut short: it runs from offset " +
           std::to_string(walk_data_offset(walk)) + " to " + std::to_string(data_end) +
           ", but the file ends at " + std::to_string(walk->file_size);
  }
  std::uint64_t length = 0;
  std::uint32_t crc = 0;
  if (!sink_measure(sink, &length, &crc)) return "the extracted data could not be read back";
  if (info.method == ZIP_METHOD_STORED) {
    return "the stored data could not be written out (" + std::to_string(length) + " of " +
           std::to_string(info.compressed_size) + " bytes)";
  }
  if (info.compressed_size == 0) return "the Deflate entry has no data at all";
  if (length == info.uncompressed_size && crc != info.crc32) {
    return "CRC-32 mismatch: the decoded data gives " + hex32(crc) + ", the header says " +
           hex32(info.crc32);
  }
  if (length == info.uncompressed_size) {
    return "the Deflate data does not end properly (final block missing or bytes left over)";
  }
  return "the Deflate data is damaged or does not fit the header: decoding stopped after " +
         std::to_string(length) + " of " + std::to_string(info.uncompressed_size) + " bytes";
}

std::string entry_content_problem(const ZipEntryInfo& info, std::uint64_t length, std::uint32_t crc) {
  if (info.method == ZIP_METHOD_STORED) {
    if (info.compressed_size != info.uncompressed_size) {
      return "stored entry with compressed size " + std::to_string(info.compressed_size) +
             " but uncompressed size " + std::to_string(info.uncompressed_size);
    }
    if (crc != info.crc32) {
      return "CRC-32 mismatch in stored data: the data gives " + hex32(crc) +
             ", the header says " + hex32(info.crc32);
    }
  } else if (length != info.uncompressed_size) {
    return "the Deflate data decodes to " + std::to_string(length) + " bytes, the header says " +
           std::to_string(info.uncompressed_size);
  }
  return std::string();
}

std::int64_t find_scan_pattern(const char* path, std::string* error) {
  FILE* input = std::fopen(path, "rb");
  if (input == nullptr) {
    *error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return -1;
  }
  constexpr std::size_t PATTERN_LENGTH = sizeof ZIP_SCAN_PATTERN;
  unsigned char scrambled[PATTERN_LENGTH];
  std::memcpy(scrambled, ZIP_SCAN_PATTERN, PATTERN_LENGTH);
  zip_unscramble(scrambled, PATTERN_LENGTH);  // the pattern as it stands in the file
  // Keeps the last PATTERN_LENGTH - 1 bytes of a block in front of the next one, so a
  // pattern across two blocks is found too.
  std::vector<unsigned char> block(READ_BLOCK + PATTERN_LENGTH);
  std::size_t kept = 0;
  std::int64_t block_offset = 0;  // file offset of block[0]
  std::int64_t found = -1;
  for (;;) {
    const std::size_t got = std::fread(block.data() + kept, 1, READ_BLOCK, input);
    const std::size_t have = kept + got;
    // memchr for the first byte, then a full comparison: the pattern is rare in real files.
    const unsigned char* at = block.data();
    const unsigned char* const last = block.data() + have;
    while (found < 0 && last - at >= static_cast<std::ptrdiff_t>(PATTERN_LENGTH)) {
      const void* hit = std::memchr(at, scrambled[0], static_cast<std::size_t>(last - at) - (PATTERN_LENGTH - 1));
      if (hit == nullptr) break;
      at = static_cast<const unsigned char*>(hit);
      if (std::memcmp(at, scrambled, PATTERN_LENGTH) == 0) {
        found = block_offset + (at - block.data());
      }
      ++at;
    }
    if (found >= 0 || got < READ_BLOCK) break;
    kept = PATTERN_LENGTH - 1;
    std::memmove(block.data(), block.data() + have - kept, kept);
    block_offset += static_cast<std::int64_t>(have - kept);
  }
  if (found < 0 && std::ferror(input)) {
    *error = std::string("cannot read ") + path;
  }
  std::fclose(input);
  return found;
}

std::string walk_end_problem(const char* path, std::int64_t end_offset, std::int64_t file_size) {
  if (end_offset >= file_size) return std::string();
  FILE* input = std::fopen(path, "rb");
  if (input == nullptr) return std::string("cannot open ") + path + ": " + std::strerror(errno);
  unsigned char bytes[4] = {0, 0, 0, 0};
  const bool got = std::fseek(input, end_offset, SEEK_SET) == 0 &&
                   std::fread(bytes, 1, sizeof bytes, input) == sizeof bytes;
  std::fclose(input);
  if (!got) return std::string();  // fewer than four bytes: no header can start there
  zip_unscramble(bytes, sizeof bytes);
  if (le_load32(bytes) == ZIP_LOCAL_SIGNATURE) {
    return "the local header at offset " + std::to_string(end_offset) +
           " does not parse (name length 0 or cut short): the installer stops there and "
           "installs none of the entries from there on";
  }
  return std::string();
}
