// The writing side of the embedded archive format.

#include "tools/archive_writer.h"

#include <libdeflate.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/zip_format.h"
#include "common/little_endian.h"
#include "tools/file_util.h"
#include "tools/name_rules.h"
#include "tools/zip_central.h"

namespace {

constexpr std::size_t WRITE_BLOCK = 65536;  // scrambled copy, on the stack
constexpr int LEVEL_MAX = 12;

// Scrambles a copy of the bytes block by block and writes it, keeping the running
// offset and the 2 GiB bound: nothing at all is written past the bound.
bool write_scrambled(ArchiveWriter* writer, const unsigned char* data, std::size_t size) {
  if (writer->file_offset + size > ZIP_MAX_FILE_END) {
    writer->error = "the archive would end past 2 GiB (offset " +
                    std::to_string(writer->file_offset + size) +
                    "), beyond what the installer's 32-bit offsets reach";
    return false;
  }
  unsigned char block[WRITE_BLOCK];
  while (size > 0) {
    const std::size_t n = size < sizeof block ? size : sizeof block;
    std::memcpy(block, data, n);
    zip_unscramble(block, n);  // the XOR with the key scrambles as well
    if (!fd_write_all(writer->fd, block, n)) {
      const char* error = std::strerror(errno);
      writer->error = "cannot write " + (writer->output_name.empty() ? std::string("the output") : writer->output_name) +
                      ": " + error;
      return false;
    }
    writer->file_offset += n;
    data += n;
    size -= n;
  }
  return true;
}

// The local header and the name of one entry of size bytes whose payload (payload_size
// bytes, packed as given) follows; the entry is recorded for the central directory once
// all of it is written.
bool write_entry_start(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                       std::size_t size, const PackedData& packed, std::uint64_t payload_size,
                       WrittenEntry* entry) {
  if (size > ZIP_MAX_ENTRY_SIZE) {
    writer->error = name + " is 2 GiB or larger";
    return false;
  }
  if (writer->entries.size() >= ZIP_MAX_ENTRIES) {
    writer->error = "more than 65535 files";
    return false;
  }
  *entry = WrittenEntry{};
  entry->name = name;
  entry->flags = name_is_ascii(name.data(), name.size()) ? 0 : ZIP_FLAG_UTF8;
  entry->modified = modified;
  entry->crc32 = packed.crc32;
  entry->uncompressed_size = static_cast<std::uint32_t>(size);
  entry->header_offset = static_cast<std::uint32_t>(writer->file_offset - writer->archive_start);
  entry->method = packed.method;
  entry->compressed_size = static_cast<std::uint32_t>(payload_size);

  unsigned char header[ZIP_LOCAL_HEADER_SIZE];
  le_store32(header + 0, ZIP_LOCAL_SIGNATURE);
  le_store16(header + 4, ZIP_SCAN_VERSION);
  le_store16(header + 6, entry->flags);  // no encryption, no data descriptor: sizes and CRC are right here
  le_store16(header + 8, entry->method);
  le_store16(header + 10, modified.time);
  le_store16(header + 12, modified.date);
  le_store32(header + 14, entry->crc32);
  le_store32(header + 18, entry->compressed_size);
  le_store32(header + 22, entry->uncompressed_size);
  le_store16(header + 26, static_cast<std::uint32_t>(name.size()));
  le_store16(header + 28, 0);
  return write_scrambled(writer, header, sizeof header) &&
         write_scrambled(writer, reinterpret_cast<const unsigned char*>(name.data()), name.size());
}

}  // namespace

bool writer_start(ArchiveWriter* writer, int fd, std::uint64_t stub_size, int level) {
  writer->fd = fd;
  writer->file_offset = stub_size;
  writer->archive_start = stub_size;
  writer->compressor = nullptr;
  writer->entries.clear();
  writer->error.clear();
  if (level < 0 || level > LEVEL_MAX) {
    writer->error = "compression level " + std::to_string(level) + " is not within 0-12";
    return false;
  }
  if (level > 0) {
    writer->compressor = libdeflate_alloc_compressor(level);
    if (writer->compressor == nullptr) {
      writer->error = "cannot create the Deflate compressor (out of memory)";
      return false;
    }
  }
  return true;
}

void writer_pack(libdeflate_compressor* compressor, const unsigned char* data, std::size_t size,
                 PackedData* packed) {
  packed->crc32 = libdeflate_crc32(0, data, size);
  packed->method = ZIP_METHOD_STORED;
  packed->deflated.clear();
  // Deflate output must come out strictly smaller than the data, else the entry is stored.
  if (compressor == nullptr || size <= 1) return;
  packed->deflated.resize(size - 1);
  const std::size_t length =
      libdeflate_deflate_compress(compressor, data, size, packed->deflated.data(), size - 1);
  if (length == 0) {
    std::vector<unsigned char>().swap(packed->deflated);
    return;
  }
  packed->deflated.resize(length);
  packed->method = ZIP_METHOD_DEFLATE;
}

bool writer_add_packed(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                       const unsigned char* data, std::size_t size, const PackedData& packed) {
  const bool deflated = packed.method == ZIP_METHOD_DEFLATE;
  const unsigned char* payload = deflated ? packed.deflated.data() : data;
  const std::size_t payload_size = deflated ? packed.deflated.size() : size;
  WrittenEntry entry{};
  const bool ok = write_entry_start(writer, name, modified, size, packed, payload_size, &entry) &&
                  write_scrambled(writer, payload, payload_size);
  if (ok) writer->entries.push_back(entry);
  return ok;
}

bool writer_add_packed_from(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                            std::size_t size, const PackedData& packed, int fd, std::uint64_t offset,
                            std::uint64_t payload_size) {
  WrittenEntry entry{};
  if (!write_entry_start(writer, name, modified, size, packed, payload_size, &entry)) return false;
  unsigned char block[WRITE_BLOCK];
  while (payload_size > 0) {
    const std::size_t wanted = payload_size < sizeof block ? static_cast<std::size_t>(payload_size) : sizeof block;
    const ssize_t got = pread(fd, block, wanted, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      writer->error = std::string("cannot read back the set-aside data of ") + name + ": " +
                      (got == 0 ? "the file is cut short" : std::strerror(errno));
      return false;
    }
    if (!write_scrambled(writer, block, static_cast<std::size_t>(got))) return false;
    offset += static_cast<std::uint64_t>(got);
    payload_size -= static_cast<std::uint64_t>(got);
  }
  writer->entries.push_back(entry);
  return true;
}

bool writer_add(ArchiveWriter* writer, const std::string& name, DosDateTime modified,
                const unsigned char* data, std::size_t size) {
  PackedData packed{};
  writer_pack(writer->compressor, data, size, &packed);
  return writer_add_packed(writer, name, modified, data, size, packed);
}

bool writer_finish(ArchiveWriter* writer, const std::string& comment) {
  if (comment.size() > ZIP_MAX_COMMENT) {
    writer->error = "the archive comment is longer than 65535 bytes";
    return false;
  }
  const std::uint64_t central_start = writer->file_offset;
  for (const WrittenEntry& entry : writer->entries) {
    unsigned char record[ZIP_CENTRAL_HEADER_SIZE];
    le_store32(record + 0, ZIP_CENTRAL_SIGNATURE);
    le_store16(record + 4, ZIP_MADE_BY);
    le_store16(record + 6, ZIP_SCAN_VERSION);
    le_store16(record + 8, entry.flags);
    le_store16(record + 10, entry.method);
    le_store16(record + 12, entry.modified.time);
    le_store16(record + 14, entry.modified.date);
    le_store32(record + 16, entry.crc32);
    le_store32(record + 20, entry.compressed_size);
    le_store32(record + 24, entry.uncompressed_size);
    le_store16(record + 28, static_cast<std::uint32_t>(entry.name.size()));
    le_store16(record + 30, 0);  // extra field
    le_store16(record + 32, 0);  // comment
    le_store16(record + 34, 0);  // disk number
    le_store16(record + 36, 0);  // internal attributes
    le_store32(record + 38, 0);  // external attributes
    le_store32(record + 42, entry.header_offset);
    if (!write_scrambled(writer, record, sizeof record) ||
        !write_scrambled(writer, reinterpret_cast<const unsigned char*>(entry.name.data()),
                         entry.name.size())) {
      return false;
    }
  }
  const std::uint64_t central_size = writer->file_offset - central_start;
  const std::uint32_t count = static_cast<std::uint32_t>(writer->entries.size());
  unsigned char end[ZIP_END_RECORD_SIZE];
  le_store32(end + 0, ZIP_END_SIGNATURE);
  le_store16(end + 4, 0);
  le_store16(end + 6, 0);
  le_store16(end + 8, count);
  le_store16(end + 10, count);
  le_store32(end + 12, static_cast<std::uint32_t>(central_size));
  le_store32(end + 16, static_cast<std::uint32_t>(central_start - writer->archive_start));
  le_store16(end + 20, static_cast<std::uint32_t>(comment.size()));
  return write_scrambled(writer, end, sizeof end) &&
         write_scrambled(writer, reinterpret_cast<const unsigned char*>(comment.data()), comment.size());
}

void writer_release(ArchiveWriter* writer) {
  libdeflate_free_compressor(writer->compressor);
  writer->compressor = nullptr;
}
