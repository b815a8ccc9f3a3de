// Diagnosis of archive problems for verify and extract.

#include "tools/entry_check.h"

#include <libdeflate.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "archive/zip_format.h"
#include "archive/zip_reader_record.h"
#include "common/little_endian.h"
#include "decode/inflater.h"
#include "tools/file_util.h"
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

bool entry_extract(ArchiveWalk* walk, FILE* output, const char* target, std::string* problem) {
  errno = 0;
  if (zip_extract(walk->reader, output) == 0) return true;
  // The reader stops at the first write that fails; what it does after that (releasing
  // memory, seeking the output back, whose flush fails the same way) keeps the reason
  // in errno.
  const int error = errno;
  if (std::ferror(output) != 0) {
    *problem = std::string("cannot write ") + target + ": " + (error != 0 ? std::strerror(error) : "the write failed");
  } else {
    *problem = entry_failure_reason(walk, output);
  }
  return false;
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

namespace {

struct DecodedCount {
  std::uint64_t bytes;
  std::uint32_t bound;
};

int count_decoded(void* user_data, const unsigned char*, std::uint32_t count) {
  auto* decoded = static_cast<DecodedCount*>(user_data);
  decoded->bytes += count;
  return decoded->bytes > decoded->bound ? 1 : 0;
}

}  // namespace

std::string deflate_tail_problem(FILE* input, std::int64_t offset, std::uint32_t size,
                                 std::uint32_t uncompressed_size) {
  DecodedCount decoded{0, uncompressed_size};
  Inflater* decoder = inflater_create(&decoded, count_decoded, zip_allocate, zip_release);
  if (decoder == nullptr) return "out of memory for a second decoding of the Deflate data";
  if (std::fseek(input, static_cast<long>(offset), SEEK_SET) != 0) {
    inflater_finish(decoder);
    return "cannot read the entry data again: " + std::string(std::strerror(errno));
  }
  unsigned char chunk[ZIP_CHUNK_SIZE];
  std::uint32_t push = ZIP_CHUNK_SIZE / 2;  // then whole chunks, each straddling one of the installer's boundaries
  for (std::uint32_t done = 0; done < size; done += push, push = ZIP_CHUNK_SIZE) {
    if (push > size - done) push = size - done;
    if (std::fread(chunk, 1, push, input) != push) {
      inflater_finish(decoder);
      return "cannot read the entry data again";
    }
    zip_unscramble(chunk, push);
    if (inflater_feed(decoder, chunk, push) != 0) {
      inflater_finish(decoder);
      return "the Deflate data does not decode the same when it is read in other pieces";
    }
  }
  if (inflater_finish(decoder) == 0) return std::string();
  return "the Deflate data goes on after its final block: the installer's reading ends with that block, "
         "at a multiple of 8192 bytes into the entry data, and never looks at the bytes behind it";
}

std::int64_t find_scan_pattern(const char* path, std::string* error) {
  FILE* input = std::fopen(path, "rb");
  if (input == nullptr) {
    *error = io_error("cannot open", path);
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

namespace {

constexpr std::int64_t SIGNATURE_PADDING = 8;  // the certificate table starts 8-byte aligned

// Reads and unscrambles length bytes at offset; false when they are not all there.
bool read_scrambled(FILE* input, std::int64_t offset, unsigned char* out, std::size_t length) {
  if (std::fseek(input, static_cast<long>(offset), SEEK_SET) != 0 ||
      std::fread(out, 1, length, input) != length) {
    return false;
  }
  zip_unscramble(out, length);
  return true;
}

std::string at_text(std::int64_t offset) { return "offset " + std::to_string(offset); }

// The central directory from offset on, its end record and comment; fills end or its problem.
void check_central_directory(FILE* input, std::int64_t offset, std::int64_t limit, bool signature_follows,
                             std::uint32_t walked, ArchiveEnd* end) {
  std::int64_t at = offset;
  std::uint32_t records = 0;
  unsigned char record[ZIP_CENTRAL_HEADER_SIZE];
  while (read_scrambled(input, at, record, 4) && le_load32(record) == ZIP_CENTRAL_SIGNATURE) {
    if (!read_scrambled(input, at, record, sizeof record)) break;
    const std::int64_t length = ZIP_CENTRAL_HEADER_SIZE + static_cast<std::int64_t>(le_load16(record + 28)) +
                                le_load16(record + 30) + le_load16(record + 32);
    if (length > limit - at) break;
    at += length;
    ++records;
  }
  unsigned char record_end[ZIP_END_RECORD_SIZE];
  if (!read_scrambled(input, at, record_end, sizeof record_end) || le_load32(record_end) != ZIP_END_SIGNATURE ||
      static_cast<std::int64_t>(sizeof record_end) > limit - at) {
    end->problem = "the central directory from " + at_text(offset) + " is cut short or damaged at " + at_text(at);
    return;
  }
  const std::uint32_t comment_length = le_load16(record_end + 20);
  const std::int64_t comment_at = at + ZIP_END_RECORD_SIZE;
  const std::int64_t archive_end = comment_at + comment_length;
  std::string comment(comment_length, '\0');
  if (archive_end > limit ||
      (comment_length > 0 &&
       !read_scrambled(input, comment_at, reinterpret_cast<unsigned char*>(&comment[0]), comment_length))) {
    end->problem = "the end record at " + at_text(at) + " is cut short: its comment runs past " + at_text(limit);
    return;
  }
  // Only the zeros of a signature's alignment may lie between the archive and the table.
  bool padded = limit - archive_end < (signature_follows ? SIGNATURE_PADDING : 1);
  unsigned char pad[SIGNATURE_PADDING] = {};
  const std::size_t pad_length = static_cast<std::size_t>(padded ? limit - archive_end : 0);
  padded = padded && (pad_length == 0 || (std::fseek(input, static_cast<long>(archive_end), SEEK_SET) == 0 &&
                                          std::fread(pad, 1, pad_length, input) == pad_length));
  for (std::size_t i = 0; padded && i < pad_length; ++i) padded = pad[i] == 0;
  if (!padded) {
    end->problem = "unexpected bytes from " + at_text(archive_end) + " to " + at_text(limit) +
                   " behind the archive's end record";
    return;
  }
  const std::uint32_t counted = le_load16(record_end + 10);
  if (counted != records || records != walked) {
    end->problem = "the central directory lists " + std::to_string(records) + " entries (its end record says " +
                   std::to_string(counted) + "), but the installer's walk finds " + std::to_string(walked);
    return;
  }
  end->central_directory = true;
  end->central_entries = records;
  end->has_comment = true;
  end->comment = comment;
}

}  // namespace

ArchiveEnd archive_end_check(const char* path, std::int64_t end_offset, std::int64_t file_size,
                             std::int64_t limit, std::uint32_t walked_entries) {
  ArchiveEnd end{};
  if (end_offset > file_size) {
    end.problem = "the last entry runs to " + at_text(end_offset) + ", past the end of the file at " +
                  at_text(file_size) + ": the installer is cut short";
    return end;
  }
  if (end_offset > limit) {
    end.problem = "the archive runs to " + at_text(end_offset) + ", past the certificate table at " +
                  at_text(limit) + ": its entries from there on are not covered by the signature";
    return end;
  }
  if (end_offset == limit) return end;
  FILE* input = std::fopen(path, "rb");
  if (input == nullptr) {
    end.problem = io_error("cannot open", path);
    return end;
  }
  unsigned char signature[4];
  if (!read_scrambled(input, end_offset, signature, sizeof signature)) {
    end.problem = "the walk ends at " + at_text(end_offset) + " in front of " +
                  std::to_string(limit - end_offset) + " bytes that are no archive record";
  } else if (le_load32(signature) == ZIP_LOCAL_SIGNATURE) {
    end.problem = "the local header at " + at_text(end_offset) +
                  " does not parse (name length 0 or cut short): the installer stops there and "
                  "installs none of the entries from there on";
  } else if (le_load32(signature) == ZIP_CENTRAL_SIGNATURE || le_load32(signature) == ZIP_END_SIGNATURE) {
    check_central_directory(input, end_offset, limit, limit < file_size, walked_entries, &end);
  } else {
    end.problem = "the walk ends at " + at_text(end_offset) +
                  " on bytes that are neither a local header, a central directory nor the end of the file";
  }
  std::fclose(input);
  return end;
}

void entry_totals(const char* path, std::uint32_t* entries, std::uint64_t* stored_bytes) {
  *entries = 0;
  *stored_bytes = 0;
  ArchiveWalk walk{};
  std::string error;
  if (!walk_open(&walk, path, &error)) return;
  do {
    ++*entries;
    *stored_bytes += walk.info.compressed_size;
  } while (walk_next(&walk));
  walk_close(&walk);
}
