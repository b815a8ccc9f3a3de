// libFuzzer target for the archive walk with extraction, the installer's reading of its
// own file. The input is the host file, whole; its last byte picks how it is opened:
// the installer's scrambled scan from offset 0 (offset -1), a scan from a fixed offset
// taken from the four bytes before it, the exact scrambled open (offset 0), or the
// unscrambled one (no offset). Every entry the walk reaches is extracted into a sink, a
// memory-backed file that can be sought and truncated like the installer's output.
//
// Checks, besides the sanitizers' findings (leaks included): a Deflate entry never
// writes more than its declared uncompressed size, nor a stored one more than its data;
// an extraction that succeeds leaves exactly the bytes the entry stands for (stored data
// as it is in the file; Deflate data as zlib decodes it, with the header's CRC-32); the
// walk moves forward by the offset rule and hands out zero-terminated names. Then the
// installer's entry loop runs over the same file, and every path it asks to create must
// name a file inside the destination even as Windows XP reads it, which drops bytes that
// are not UTF-8 (glibc's iconv stands in for that conversion).

#include <iconv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/zip_reader_record.h"
#include "common/little_endian.h"
#include "install_core/install_entries.h"
#include "tests/support/zlib_reference.h"

namespace {

constexpr char DESTINATION[] = "C:\\Program Files\\Orvinta";

int g_sink = -1;  // the memory file every entry is extracted into
iconv_t g_utf8_decoder = reinterpret_cast<iconv_t>(-1);

std::uint64_t sink_size() {
  struct stat info {};
  if (fstat(g_sink, &info) != 0) std::abort();
  return static_cast<std::uint64_t>(info.st_size);
}

std::vector<unsigned char> sink_contents() {
  std::vector<unsigned char> bytes(sink_size());
  if (!bytes.empty() && pread(g_sink, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    std::abort();
  }
  return bytes;
}

// A fresh stream on the emptied sink, as the installer creates a file for every entry.
FILE* open_sink() {
  if (ftruncate(g_sink, 0) != 0) std::abort();
  const int fd = dup(g_sink);
  FILE* stream = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
  if (stream == nullptr) std::abort();
  return stream;
}

// The entry's data as stored, unscrambled when the reader unscrambles.
std::vector<unsigned char> entry_data(const std::vector<unsigned char>& file, const ZipReader* reader) {
  const std::uint64_t start = static_cast<std::uint64_t>(reader->data_offset);
  const std::uint64_t end = start + reader->header.compressed_size;
  if (end > file.size()) return {};
  std::vector<unsigned char> data(file.begin() + static_cast<std::ptrdiff_t>(start),
                                  file.begin() + static_cast<std::ptrdiff_t>(end));
  if (reader->scrambled != 0) zip_unscramble(data.data(), data.size());
  return data;
}

void check_extraction(const std::vector<unsigned char>& file, ZipReader* reader) {
  const ZipLocalHeader header = reader->header;
  FILE* output = open_sink();
  const int result = zip_extract(reader, output);
  if (std::fclose(output) != 0) std::abort();
  const std::uint64_t written = sink_size();
  const bool deflate = header.method == ZIP_METHOD_DEFLATE;
  if (deflate && written > header.uncompressed_size) std::abort();
  if (!deflate && written > header.compressed_size) std::abort();
  if (result != 0) {
    if (reader->status == 0) std::abort();  // a failure latches
    return;
  }
  if (reader->written != written) std::abort();
  if ((header.flags & ZIP_FLAG_ENCRYPTED) != 0 || (header.method != ZIP_METHOD_STORED && !deflate)) std::abort();
  const std::vector<unsigned char> data = entry_data(file, reader);
  if (data.size() != header.compressed_size) std::abort();  // the data must have been all there
  const std::vector<unsigned char> out = sink_contents();
  if (!deflate) {
    if (out != data) std::abort();
    return;
  }
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, out.data(), static_cast<uInt>(out.size())));
  if (crc != header.crc32) std::abort();
  std::vector<unsigned char> expected;
  // zlib refuses some streams the format allows (and the decoder accepts); when it does
  // decode the stream whole, it must agree.
  if (zlib_raw_inflate(data.data(), data.size(), &expected, nullptr, out.size() + 1) && expected != out) std::abort();
}

// The raw walk: every entry reached is extracted, whatever its name.
void walk_and_extract(const std::vector<unsigned char>& file, std::int32_t* offset) {
  FILE* input = fmemopen(const_cast<unsigned char*>(file.data()), file.size(), "rb");
  if (input == nullptr) return;
  const std::int32_t requested = offset != nullptr ? *offset : 0;
  ZipReader* reader = zip_open(input, offset);
  if (reader == nullptr) {
    if (offset != nullptr && *offset != requested) std::abort();  // written back only on success
    return;
  }
  if (offset != nullptr && (*offset != reader->header_offset || *offset < (requested > 0 ? requested : 0))) {
    std::abort();
  }
  ZipEntryInfo info{};
  while (zip_get_info(reader, &info) == 0) {
    if (info.name_length == 0 || info.name_length >= ZIP_NAME_CAPACITY) std::abort();
    for (std::size_t i = info.name_length; i < ZIP_NAME_CAPACITY; ++i) {
      if (info.name[i] != 0) std::abort();
    }
    if (reader->data_offset != zip_data_offset(reader->header_offset, info)) std::abort();
    const std::int64_t next = zip_next_header_offset(reader->data_offset, info);
    check_extraction(file, reader);
    if (zip_next(reader) != 0) break;
    if (reader->header_offset != next) std::abort();
  }
  if (zip_get_info(reader, &info) == 0 || zip_next(reader) == 0) std::abort();  // the end latches
  if (zip_close(reader) == 0) std::abort();
}

// How Windows XP sees a name: its conversion drops every byte that does not belong to
// a well-formed UTF-8 sequence. glibc's UTF-8 decoder is strict, so skipping what it
// refuses one byte at a time gives that view.
std::string as_windows_xp_sees(const char* name) {
  std::string kept;
  std::size_t pos = 0;
  const std::size_t length = std::strlen(name);
  while (pos < length) {
    char* in = const_cast<char*>(name + pos);
    std::size_t in_left = length - pos;
    char wide[4 * 256];
    char* out = wide;
    std::size_t out_left = sizeof wide;
    const std::size_t converted = iconv(g_utf8_decoder, &in, &in_left, &out, &out_left);
    kept.append(name + pos, static_cast<std::size_t>(in - (name + pos)));
    pos = length - in_left;
    if (converted == static_cast<std::size_t>(-1)) ++pos;  // EILSEQ or EINVAL: the byte is dropped
  }
  return kept;
}

// Whether the path, as Windows resolves it, names a file below the destination: every
// part made of dots and blanks with two dots or more climbs, "." stays, and anything that
// makes the path rooted, drive-relative or a stream leaves.
bool stays_inside(const std::string& path) {
  const std::string prefix = std::string(DESTINATION) + "\\";
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = as_windows_xp_sees(path.c_str() + prefix.size());
  if (rest.empty() || rest[0] == '/' || rest[0] == '\\' || rest.find(':') != std::string::npos) return false;
  int depth = 0;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find_first_of("/\\", start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    const bool dots_and_blanks = part.find_first_not_of(". ") == std::string::npos;
    if (dots_and_blanks && part.find("..") != std::string::npos) {
      if (--depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return depth > 0;
}

// The entry loop's file operations over the sink. Each entry's file is checked when the
// next one is created (and the last one after the loop) against the bound of the entry
// it was created for.
struct LoopSink {
  const ZipReader* reader;
  std::uint64_t bound;
};

int loop_remove(void*, const char* path) {
  if (!stays_inside(path)) std::abort();
  return 0;
}

FILE* loop_create(void* context, const char* path) {
  auto* sink = static_cast<LoopSink*>(context);
  if (!stays_inside(path)) std::abort();
  if (sink_size() > sink->bound) std::abort();
  const ZipLocalHeader& header = sink->reader->header;  // the entry about to be extracted
  sink->bound = header.method == ZIP_METHOD_DEFLATE ? header.uncompressed_size : header.compressed_size;
  return open_sink();
}

void run_install_loop(const std::vector<unsigned char>& file) {
  FILE* input = fmemopen(const_cast<unsigned char*>(file.data()), file.size(), "rb");
  if (input == nullptr) return;
  std::int32_t offset = -1;
  ZipReader* reader = zip_open(input, &offset);
  if (reader == nullptr) return;
  LoopSink sink{reader, UINT64_MAX};
  InstallPath entry_path;
  const InstallLoopResult result =
      install_entries(reader, DESTINATION, EntryFileOps{&sink, loop_remove, loop_create}, entry_path);
  if (result.stop == INSTALL_STOP_EXTRACT_FAILED && reader->status == 0) std::abort();
  if (sink_size() > sink.bound) std::abort();
  zip_close(reader);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_sink = memfd_create("zip_walk_fuzz_sink", MFD_CLOEXEC);
  g_utf8_decoder = iconv_open("UTF-32LE", "UTF-8");
  if (g_sink < 0 || g_utf8_decoder == reinterpret_cast<iconv_t>(-1)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size == 0) return 0;
  const std::vector<unsigned char> file(input, input + size);
  const std::uint8_t mode = input[size - 1];
  std::int32_t offset = -1;
  switch (mode % 4) {
    case 0:
      walk_and_extract(file, &offset);
      break;
    case 1:
      // A fixed start inside the file (or just past it); 0 would be the exact open.
      offset = size >= 5 ? static_cast<std::int32_t>(le_load32(input + size - 5) % (size + 1)) : 1;
      if (offset == 0) offset = 1;
      walk_and_extract(file, &offset);
      break;
    case 2:
      offset = 0;
      walk_and_extract(file, &offset);
      break;
    default:
      walk_and_extract(file, nullptr);
      break;
  }
  run_install_loop(file);
  return 0;
}
