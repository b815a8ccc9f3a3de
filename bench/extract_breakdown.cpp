// Where the extraction's time goes: the installer's extraction of every entry, done step
// by step as zip_extract does it (the same 8192-byte chunks, decoder and CRC-32, and the
// packing tool's stream buffers), with a clock around each step. It prints the time of
// reading, unscrambling, decoding, CRC-32, writing and the rest, the decoder's peak
// memory through its allocate function, and checks every entry's CRC-32, so the files
// it writes are the extraction's (the bench compares them with the payload).
//
// The clock is the thread's CPU time (user and system, so the kernel's share of reading
// and writing counts): on a machine shared with other work the wall clock of every step
// grows with the load, its CPU time hardly. Reading it costs a system call, some 2 % of
// the run.
//
// usage: extract_breakdown SETUP.exe FOLDER     (FOLDER must exist; files are replaced)

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/zip_format.h"
#include "archive/zip_reader.h"
#include "archive/zip_reader_record.h"
#include "bench/counting_heap.h"
#include "decode/crc32.h"
#include "decode/inflater.h"
#include "decode/inflater_record.h"
#include "tools/file_util.h"

namespace {

// CPU time of the calling thread, in seconds.
double cpu_now() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

enum Step { READ, UNSCRAMBLE, DECODE, CRC, WRITE, FILES, STEP_COUNT };
constexpr const char* STEP_NAMES[STEP_COUNT] = {"read (fread)", "unscramble", "decode", "CRC-32",
                                                "write (fwrite, fclose)", "create files, walk headers"};

struct Breakdown {
  double seconds[STEP_COUNT];
  std::uint64_t compressed;
  std::uint64_t decoded;
};

// Time since `since`, added to one step; returns the new starting point.
double charge(Breakdown& b, Step step, double since) {
  const double now = cpu_now();
  b.seconds[step] += now - since;
  return now;
}

// What crc_table_create took for its object (the lookup tables are constants of the
// program), measured at the first Deflate entry.
std::size_t crc_memory = 0;

struct Output {
  Breakdown* breakdown;
  const CrcTable* crc_table;
  std::uint32_t crc;
  FILE* file;
  bool failed;
};

// zip_write_output's work with the clock read around its two steps; the time spent here
// is taken off the decoder's share afterwards.
int timed_output(void* user_data, const unsigned char* bytes, std::uint32_t count) {
  auto* out = static_cast<Output*>(user_data);
  Breakdown& b = *out->breakdown;
  double t = cpu_now();
  out->crc = crc_update(out->crc_table, out->crc, bytes, count);
  t = charge(b, CRC, t);
  if (std::fwrite(bytes, 1, count, out->file) != count) out->failed = true;
  charge(b, WRITE, t);
  b.decoded += count;
  return out->failed ? 1 : 0;
}

// Extracts the reader's current entry into file; false with a reason on failure.
bool extract_entry(ZipReader* reader, FILE* file, Breakdown& b, std::string* problem) {
  const ZipLocalHeader& h = reader->header;
  if (std::fseek(reader->input, reader->data_offset, SEEK_SET) != 0) {
    *problem = "cannot seek to the entry's data";
    return false;
  }
  const bool deflate = h.method == ZIP_METHOD_DEFLATE;
  const std::size_t live_before = bench_live_bytes;
  CrcTable* crc_table = deflate ? crc_table_create(bench_allocate, bench_release) : nullptr;
  if (crc_table != nullptr) crc_memory = bench_live_bytes - live_before;
  Output out{&b, crc_table, 0xFFFFFFFFu, file, false};
  Inflater* decoder = deflate ? inflater_create(&out, timed_output, bench_allocate, bench_release) : nullptr;
  if (deflate && (crc_table == nullptr || decoder == nullptr)) {
    *problem = "out of memory";
    return false;
  }
  unsigned char chunk[ZIP_CHUNK_SIZE];
  bool ok = true;
  for (std::uint32_t done = 0; ok && done < h.compressed_size;) {
    const std::uint32_t n = h.compressed_size - done < ZIP_CHUNK_SIZE ? h.compressed_size - done : ZIP_CHUNK_SIZE;
    double t = cpu_now();
    ok = std::fread(chunk, 1, n, reader->input) == n;
    t = charge(b, READ, t);
    zip_unscramble(chunk, n);
    t = charge(b, UNSCRAMBLE, t);
    done += n;
    b.compressed += n;
    if (!ok) break;
    if (deflate) {
      const double inside_before = b.seconds[CRC] + b.seconds[WRITE];
      ok = inflater_feed(decoder, chunk, n) == 0;
      charge(b, DECODE, t);
      b.seconds[DECODE] -= b.seconds[CRC] + b.seconds[WRITE] - inside_before;
    } else {
      ok = std::fwrite(chunk, 1, n, file) == n;
      charge(b, WRITE, t);
      b.decoded += n;
    }
  }
  if (decoder != nullptr && inflater_finish(decoder) != 0) ok = false;
  if (crc_table != nullptr) crc_table_free(crc_table);
  if (!ok || out.failed) {
    *problem = "damaged data or a failed write";
    return false;
  }
  if (deflate && out.crc != ~h.crc32) {
    *problem = "CRC-32 mismatch";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: extract_breakdown SETUP.exe FOLDER\n");
    return 2;
  }
  Breakdown b{};
  const std::chrono::steady_clock::time_point wall_start = std::chrono::steady_clock::now();
  const double start = cpu_now();
  double t = start;
  FILE* input = std::fopen(argv[1], "rb");
  if (input == nullptr) {
    std::fprintf(stderr, "extract_breakdown: cannot open %s\n", argv[1]);
    return 1;
  }
  // Buffers of the program's own, as the tool gives its streams: glibc ignores a size
  // given without one. Both outlive the streams they serve.
  static char input_buffer[STREAM_BUFFER_SIZE];
  static char output_buffer[STREAM_BUFFER_SIZE];
  std::setvbuf(input, input_buffer, _IOFBF, STREAM_BUFFER_SIZE);
  std::int32_t offset = -1;
  ZipReader* reader = zip_open(input, &offset);
  if (reader == nullptr) {
    std::fprintf(stderr, "extract_breakdown: no archive in %s\n", argv[1]);
    return 1;
  }
  std::uint32_t entries = 0;
  ZipEntryInfo info;
  while (zip_get_info(reader, &info) == 0) {
    const std::string path = std::string(argv[2]) + "/" + info.name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      std::fprintf(stderr, "extract_breakdown: cannot create %s\n", path.c_str());
      return 1;
    }
    std::setvbuf(file, output_buffer, _IOFBF, STREAM_BUFFER_SIZE);
    t = charge(b, FILES, t);
    std::string problem;
    if (!extract_entry(reader, file, b, &problem)) {
      std::fprintf(stderr, "extract_breakdown: %s: %s\n", info.name, problem.c_str());
      return 1;
    }
    t = cpu_now();
    const bool closed = std::fclose(file) == 0;
    t = charge(b, WRITE, t);
    if (!closed) {
      std::fprintf(stderr, "extract_breakdown: cannot write %s\n", path.c_str());
      return 1;
    }
    ++entries;
    zip_next(reader);
  }
  zip_close(reader);
  charge(b, FILES, t);
  const double total = cpu_now() - start;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

  std::printf("extraction breakdown: %u entries, %llu bytes read, %llu bytes written, %.3f s of CPU time "
              "(%.3f s wall clock)\n",
              entries, static_cast<unsigned long long>(b.compressed), static_cast<unsigned long long>(b.decoded),
              total, wall);
  double accounted = 0;
  for (int step = 0; step < STEP_COUNT; ++step) {
    const double s = b.seconds[step];
    accounted += s;
    // Reading and unscrambling go at the archive's rate, the rest at the payload's.
    const double bytes = static_cast<double>(step == READ || step == UNSCRAMBLE ? b.compressed : b.decoded);
    std::printf("  %-28s %7.3f s %5.1f %%  %8.0f MB/s\n", STEP_NAMES[step], s, 100 * s / total,
                s > 0 ? bytes / s / 1e6 : 0.0);
  }
  std::printf("  %-28s %7.3f s %5.1f %%  (the clock, the loop)\n", "other", total - accounted,
              100 * (total - accounted) / total);
  std::printf("decoder memory through its allocate function: peak %zu bytes: the Inflater record of %zu bytes, "
              "one block's Huffman tables and the CRC-32 object of %zu bytes\n",
              bench_peak_bytes, sizeof(Inflater), crc_memory);
  return 0;
}
