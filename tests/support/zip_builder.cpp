// In-memory archive builder for tests. Kept free of the reader's own code: its CRC-32
// is computed bit by bit and its Deflate comes from zlib (or from its own literal-only
// encoder), so a fault in the reader cannot hide in the expectations.
// Only the format's definitions are shared (the key and its XOR, the byte order, the
// field constants); the walk tests check the bytes it writes against literal values.

#include "tests/support/zip_builder.h"

#include <cstring>

#include "common/little_endian.h"

#include "tests/support/zlib_reference.h"

namespace {

constexpr std::uint32_t CENTRAL_SIGNATURE = 0x02014B50;
constexpr std::uint32_t END_SIGNATURE = 0x06054B50;
constexpr std::uint32_t DESCRIPTOR_SIGNATURE = 0x08074B50;

void put_bytes(Bytes& out, const void* data, std::size_t count) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  out.insert(out.end(), p, p + count);
}

void put16(Bytes& out, std::uint32_t value) {
  std::uint8_t field[2];
  le_store16(field, static_cast<std::uint16_t>(value));
  put_bytes(out, field, sizeof field);
}

void put32(Bytes& out, std::uint32_t value) {
  std::uint8_t field[4];
  le_store32(field, value);
  put_bytes(out, field, sizeof field);
}

// Fixed-Huffman block holding only literals, built here bit by bit.
struct BitWriter {
  Bytes out;
  std::uint32_t buffer = 0;
  int count = 0;
  void bits(std::uint32_t value, int n) {  // value's low n bits, least significant first
    for (int i = 0; i < n; ++i) {
      buffer |= ((value >> i) & 1u) << count;
      if (++count == 8) {
        out.push_back(static_cast<std::uint8_t>(buffer));
        buffer = 0;
        count = 0;
      }
    }
  }
  void code(std::uint32_t value, int n) {  // Huffman codes go most significant bit first
    for (int i = n - 1; i >= 0; --i) bits((value >> i) & 1u, 1);
  }
  void flush() {
    if (count > 0) out.push_back(static_cast<std::uint8_t>(buffer));
    buffer = 0;
    count = 0;
  }
};

}  // namespace

Bytes zip_test_deflate_literals(const Bytes& data) {
  BitWriter w;
  w.bits(1, 1);  // final block
  w.bits(1, 2);  // fixed Huffman codes
  for (std::uint8_t b : data) {
    if (b < 144) w.code(0x30u + b, 8);
    else w.code(0x190u + (b - 144u), 9);
  }
  w.code(0, 7);  // end of block
  w.flush();
  return std::move(w.out);
}

namespace {

struct CentralRecord {
  const TestEntry* entry;
  std::uint32_t crc;
  std::uint32_t compressed;
  std::uint32_t uncompressed;
  std::uint16_t flags;
  std::uint32_t relative_offset;
};

// The fields that the local header and its central record share, in their common order.
void put_shared_fields(Bytes& out, const TestEntry& e, const CentralRecord& rec) {
  put16(out, e.version_needed);
  put16(out, rec.flags);
  put16(out, e.method);
  put16(out, e.mod_time);
  put16(out, e.mod_date);
  put32(out, rec.crc);
  put32(out, rec.compressed);
  put32(out, rec.uncompressed);
}

}  // namespace

std::uint32_t zip_test_crc32(const Bytes& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

Bytes zip_test_deflate(const Bytes& data, int level) {
  return zlib_raw_deflate(data.data(), data.size(), level);
}

Bytes zip_test_random_bytes(std::size_t count, std::uint32_t seed) {
  Bytes out(count);
  std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

Bytes zip_test_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

void zip_test_scramble(Bytes& bytes, std::size_t from, std::size_t to) {
  if (to > bytes.size()) to = bytes.size();
  if (from < to) zip_unscramble(bytes.data() + from, to - from);
}

TestEntry zip_test_entry(const std::string& name, const Bytes& data, std::uint16_t method) {
  TestEntry e;
  e.name = name;
  e.data = data;
  e.method = method;
  return e;
}

TestEntry zip_test_entry(const std::string& name, const std::string& text, std::uint16_t method) {
  return zip_test_entry(name, zip_test_bytes(text), method);
}

BuiltArchive zip_build(const TestArchive& archive) {
  BuiltArchive built;
  Bytes& out = built.bytes;
  out = archive.host;
  const std::size_t archive_start = out.size();
  std::vector<CentralRecord> central;

  for (const TestEntry& e : archive.entries) {
    Bytes stored;
    if (e.payload) stored = *e.payload;
    else if (e.method == ZIP_METHOD_DEFLATE) stored = zip_test_deflate(e.data, e.level);
    else stored = e.data;

    CentralRecord rec;
    rec.entry = &e;
    rec.crc = e.crc32 ? *e.crc32 : zip_test_crc32(e.data);
    rec.compressed = e.compressed_size ? *e.compressed_size : static_cast<std::uint32_t>(stored.size());
    rec.uncompressed =
        e.uncompressed_size ? *e.uncompressed_size : static_cast<std::uint32_t>(e.data.size());
    rec.flags = static_cast<std::uint16_t>(e.flags | (e.descriptor ? ZIP_FLAG_DESCRIPTOR : 0));
    rec.relative_offset = static_cast<std::uint32_t>(out.size() - archive_start);

    built.header_offsets.push_back(static_cast<std::uint32_t>(out.size()));
    put32(out, e.signature ? *e.signature : ZIP_LOCAL_SIGNATURE);
    put_shared_fields(out, e, rec);
    put16(out, e.name_length ? *e.name_length : static_cast<std::uint16_t>(e.name.size()));
    put16(out, static_cast<std::uint32_t>(e.extra.size()));
    put_bytes(out, e.name.data(), e.name.size());
    put_bytes(out, e.extra.data(), e.extra.size());
    built.data_offsets.push_back(static_cast<std::uint32_t>(out.size()));
    put_bytes(out, stored.data(), stored.size());
    if (e.descriptor) {
      put32(out, DESCRIPTOR_SIGNATURE);
      put32(out, rec.crc);
      put32(out, rec.compressed);
      put32(out, rec.uncompressed);
    }
    central.push_back(rec);
  }
  built.archive_end = static_cast<std::uint32_t>(out.size());

  if (archive.central_directory) {
    const std::size_t central_start = out.size();
    for (const CentralRecord& rec : central) {
      const TestEntry& e = *rec.entry;
      put32(out, CENTRAL_SIGNATURE);
      put16(out, 20);  // made by: MS-DOS, 2.0
      put_shared_fields(out, e, rec);
      put16(out, static_cast<std::uint32_t>(e.name.size()));
      put16(out, 0);  // extra
      put16(out, 0);  // comment
      put16(out, 0);  // disk
      put16(out, 0);  // internal attributes
      put32(out, 0);  // external attributes
      put32(out, rec.relative_offset);
      put_bytes(out, e.name.data(), e.name.size());
    }
    const std::size_t central_size = out.size() - central_start;
    put32(out, END_SIGNATURE);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(central.size()));
    put16(out, static_cast<std::uint32_t>(central.size()));
    put32(out, static_cast<std::uint32_t>(central_size));
    put32(out, static_cast<std::uint32_t>(central_start - archive_start));
    put16(out, 0);
  }
  if (archive.scrambled) zip_test_scramble(out, archive_start, out.size());
  out.insert(out.end(), archive.trailer.begin(), archive.trailer.end());
  return built;
}

FILE* zip_test_stream(const Bytes& bytes) {
  FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  if ((!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) ||
      std::fflush(f) != 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}

Bytes zip_test_stream_contents(FILE* stream) {
  Bytes out;
  if (std::fflush(stream) != 0 || std::fseek(stream, 0, SEEK_SET) != 0) return out;
  std::uint8_t buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) out.insert(out.end(), buffer, buffer + n);
  return out;
}

Bytes zip_test_file_contents(const std::string& path) {
  Bytes out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  out = zip_test_stream_contents(f);
  std::fclose(f);
  return out;
}

bool zip_test_write_file(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

#if defined(__GLIBC__)

namespace {

struct CountedCookie {
  Bytes bytes;
  std::size_t position;
  int* closes;
};

ssize_t counted_read(void* cookie, char* buffer, std::size_t size) {
  auto* c = static_cast<CountedCookie*>(cookie);
  const std::size_t left = c->position < c->bytes.size() ? c->bytes.size() - c->position : 0;
  const std::size_t n = size < left ? size : left;
  if (n > 0) std::memcpy(buffer, c->bytes.data() + c->position, n);
  c->position += n;
  return static_cast<ssize_t>(n);
}

int counted_seek(void* cookie, off64_t* offset, int whence) {
  auto* c = static_cast<CountedCookie*>(cookie);
  off64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<off64_t>(c->position);
  else if (whence == SEEK_END) base = static_cast<off64_t>(c->bytes.size());
  const off64_t target = base + *offset;
  if (target < 0) return -1;
  c->position = static_cast<std::size_t>(target);
  *offset = target;
  return 0;
}

int counted_close(void* cookie) {
  auto* c = static_cast<CountedCookie*>(cookie);
  ++*c->closes;
  delete c;
  return 0;
}

}  // namespace

bool zip_test_counted_streams_supported() { return true; }

FILE* zip_test_counted_stream(const Bytes& bytes, int* closes) {
  auto* cookie = new CountedCookie{bytes, 0, closes};
  cookie_io_functions_t io{};
  io.read = counted_read;
  io.seek = counted_seek;
  io.close = counted_close;
  FILE* f = fopencookie(cookie, "rb", io);
  if (f == nullptr) delete cookie;
  return f;
}

#else

bool zip_test_counted_streams_supported() { return false; }

FILE* zip_test_counted_stream(const Bytes&, int*) { return nullptr; }

#endif
