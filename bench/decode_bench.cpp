// Decoder throughput on one corpus: ours fed in 8192-byte pushes (as entry extraction
// feeds it), zlib's streaming inflate and, where it is built in, ISA-L's streaming
// inflate fed the same way, and libdeflate on the whole buffer. Prints MB/s of output
// (1 MB = 10^6 bytes, per second of processor time, best of the repeats) and the ratios.
//   decode_bench <corpus file> [repeats]
// The corpus is compressed once, as raw Deflate, with zlib level 6 and libdeflate level
// 12; the streams are kept beside the corpus as <file>.zlib6 and <file>.libdeflate12.
// Also prints our decoder's peak allocation on each stream, and the CRC-32's MB/s
// against zlib's crc32 over the corpus in pieces of the sizes extraction hands it.

#include <libdeflate.h>
#include <zlib.h>
#if ORVINTA_BENCH_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/counting_heap.h"
#include "decode/crc32.h"
#include "decode/inflater.h"
#include "decode/inflater_record.h"
#include "tests/support/zlib_reference.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::uint32_t PUSH = 8192;

bool read_file(const std::string& path, Bytes* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  unsigned char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->insert(out->end(), buffer, buffer + n);
  std::fclose(f);
  return true;
}

bool write_file(const std::string& path, const Bytes& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

Bytes zlib_compress(const Bytes& data) { return zlib_raw_deflate(data.data(), data.size(), 6); }

Bytes libdeflate_compress(const Bytes& data) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(12);
  Bytes out(libdeflate_deflate_compress_bound(c, data.size()));
  out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

Bytes load_or_compress(const std::string& path, const Bytes& corpus, Bytes (*compress)(const Bytes&)) {
  Bytes stream;
  if (read_file(path, &stream) && !stream.empty()) return stream;
  stream = compress(corpus);
  write_file(path, stream);
  return stream;
}

// Timed runs only count the output, so that the figures are the decoders' own; one
// untimed run of each also checksums it to show that all three give the corpus back.
struct Check {
  bool checksum = false;
  std::uint64_t size = 0;
  std::uint32_t adler = 1;
};

int ours_output(void* user, const unsigned char* bytes, std::uint32_t count) {
  auto* c = static_cast<Check*>(user);
  if (c->checksum) c->adler = static_cast<std::uint32_t>(adler32(c->adler, bytes, count));
  c->size += count;
  return 0;
}

bool run_ours(const Bytes& stream, Check* check) {
  *check = Check{check->checksum};
  Inflater* f = inflater_create(check, ours_output, bench_allocate, bench_release);
  if (f == nullptr) return false;
  int failed = 0;
  for (std::size_t at = 0; at < stream.size() && failed == 0; at += PUSH) {
    const std::size_t n = stream.size() - at < PUSH ? stream.size() - at : PUSH;
    failed = inflater_feed(f, stream.data() + at, static_cast<std::uint32_t>(n));
  }
  return inflater_finish(f) == 0 && failed == 0;
}

// CRC-32 of the corpus in pieces of piece bytes, ours or zlib's; the finished value.
std::uint32_t crc_of(const CrcTable* table, const Bytes& data, std::uint32_t piece, bool zlib) {
  std::uint32_t value = 0xFFFFFFFFu;
  for (std::size_t at = 0; at < data.size(); at += piece) {
    const std::uint32_t n = static_cast<std::uint32_t>(data.size() - at < piece ? data.size() - at : piece);
    value = zlib ? ~static_cast<std::uint32_t>(crc32(~value, data.data() + at, n))
                 : crc_update(table, value, data.data() + at, n);
  }
  return ~value;
}

bool run_zlib(const Bytes& stream, Check* check) {
  *check = Check{check->checksum};
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  static unsigned char out[32768];
  int r = Z_OK;
  for (std::size_t at = 0; at < stream.size() && r == Z_OK; at += PUSH) {
    const std::size_t n = stream.size() - at < PUSH ? stream.size() - at : PUSH;
    z.next_in = const_cast<unsigned char*>(stream.data() + at);
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = out;
      z.avail_out = sizeof out;
      r = inflate(&z, Z_NO_FLUSH);
      const std::uint32_t got = static_cast<std::uint32_t>(sizeof out - z.avail_out);
      if (got > 0) ours_output(check, out, got);
    } while (r == Z_OK && z.avail_out == 0);
    if (r == Z_BUF_ERROR) r = Z_OK;
  }
  inflateEnd(&z);
  return r == Z_STREAM_END;
}

#if ORVINTA_BENCH_HAVE_ISAL
// ISA-L streaming: raw Deflate, 8192-byte pushes, output through a 32 KiB buffer as ours
// and zlib's go (ISA-L keeps the history it needs itself).
bool run_isal(const Bytes& stream, Check* check) {
  *check = Check{check->checksum};
  static inflate_state state;
  isal_inflate_init(&state);
  state.crc_flag = ISAL_DEFLATE;
  static unsigned char out[32768];
  int r = ISAL_DECOMP_OK;
  for (std::size_t at = 0; at < stream.size() && r == ISAL_DECOMP_OK; at += PUSH) {
    const std::size_t n = stream.size() - at < PUSH ? stream.size() - at : PUSH;
    state.next_in = const_cast<unsigned char*>(stream.data() + at);
    state.avail_in = static_cast<std::uint32_t>(n);
    do {
      state.next_out = out;
      state.avail_out = sizeof out;
      r = isal_inflate(&state);
      const std::uint32_t got = static_cast<std::uint32_t>(sizeof out - state.avail_out);
      if (got > 0) ours_output(check, out, got);
    } while (r == ISAL_DECOMP_OK && state.avail_out == 0 && state.block_state != ISAL_BLOCK_FINISH);
    if (state.block_state == ISAL_BLOCK_FINISH) break;
  }
  return r == ISAL_DECOMP_OK && state.block_state == ISAL_BLOCK_FINISH;
}
constexpr bool HAVE_ISAL = true;
#else
bool run_isal(const Bytes&, Check*) { return true; }
constexpr bool HAVE_ISAL = false;
#endif

bool run_libdeflate(const Bytes& stream, Bytes& out, Check* check) {
  *check = Check{check->checksum};
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::size_t got = 0;
  const bool ok = libdeflate_deflate_decompress(d, stream.data(), stream.size(), out.data(), out.size(), &got) ==
                  LIBDEFLATE_SUCCESS;
  libdeflate_free_decompressor(d);
  ours_output(check, out.data(), static_cast<std::uint32_t>(got));
  return ok;
}

// Seconds of processor time of one run: the machine is shared, and processor time is far
// less disturbed by other jobs than the wall clock.
template <typename Run>
double cpu_seconds(Run run, bool* ok) {
  const std::clock_t t0 = std::clock();
  *ok = run() && *ok;
  return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus file> [repeats]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  Bytes corpus;
  if (!read_file(path, &corpus) || corpus.empty()) {
    std::fprintf(stderr, "cannot read %s (make it with bench/make-corpus.sh)\n", path.c_str());
    return 2;
  }
  const std::uint32_t corpus_adler = static_cast<std::uint32_t>(adler32(1, corpus.data(), static_cast<uInt>(corpus.size())));
  Bytes out(corpus.size());
  std::printf("corpus: %zu bytes; Inflater record: %zu bytes\n", corpus.size(), sizeof(Inflater));

  struct Stream {
    const char* name;
    Bytes data;
  } streams[] = {{"zlib level 6", load_or_compress(path + ".zlib6", corpus, zlib_compress)},
                 {"libdeflate level 12", load_or_compress(path + ".libdeflate12", corpus, libdeflate_compress)}};

  std::printf("%s build, %d runs of each, best counts\n", sizeof(void*) == 8 ? "x86-64" : "i686", repeats);
  int status = 0;
  for (const auto& s : streams) {
    Check ours, zlib, libd, isal;
    ours.checksum = zlib.checksum = libd.checksum = isal.checksum = true;
    const bool decoded = run_ours(s.data, &ours) && run_zlib(s.data, &zlib) &&
                         run_libdeflate(s.data, out, &libd) && (!HAVE_ISAL || run_isal(s.data, &isal));
    const bool same = decoded && ours.size == corpus.size() && ours.adler == corpus_adler &&
                      zlib.adler == corpus_adler && libd.adler == corpus_adler &&
                      (!HAVE_ISAL || isal.adler == corpus_adler);
    ours.checksum = zlib.checksum = libd.checksum = isal.checksum = false;
    // The decoders take turns, so that a busy moment of the machine hits all of them.
    double best[4] = {1e9, 1e9, 1e9, 1e9};
    bool ok = true;
    for (int i = 0; i < repeats; ++i) {
      const double t[4] = {cpu_seconds([&] { return run_ours(s.data, &ours); }, &ok),
                           cpu_seconds([&] { return run_zlib(s.data, &zlib); }, &ok),
                           cpu_seconds([&] { return run_libdeflate(s.data, out, &libd); }, &ok),
                           HAVE_ISAL ? cpu_seconds([&] { return run_isal(s.data, &isal); }, &ok) : 1e9};
      for (int k = 0; k < 4; ++k) best[k] = t[k] < best[k] ? t[k] : best[k];
    }
    const double mb = static_cast<double>(corpus.size()) / 1e6;
    const double a = mb / best[0], b = mb / best[1], c = mb / best[2], d = mb / best[3];
    std::printf("%s stream: %zu bytes (%.1f%%)\n", s.name, s.data.size(), 100.0 * s.data.size() / corpus.size());
    std::printf("  ours, 8192-byte pushes          %8.1f MB/s\n", a);
    std::printf("  zlib inflate, 8192-byte pushes  %8.1f MB/s\n", b);
    std::printf("  libdeflate, whole buffer        %8.1f MB/s\n", c);
    if (HAVE_ISAL) std::printf("  ISA-L inflate, 8192-byte pushes %8.1f MB/s\n", d);
    std::printf("  ours/zlib %.2fx   ours/libdeflate %.2fx", a / b, a / c);
    if (HAVE_ISAL) std::printf("   ours/ISA-L %.2fx", a / d);
    std::printf("   output %s\n", same ? "identical" : "DIFFERS");
    bench_peak_bytes = bench_live_bytes = 0;
    run_ours(s.data, &ours);
    std::printf("  ours: peak allocation %zu bytes\n", bench_peak_bytes);
    if (!same || !ok) status = 1;
  }

  CrcTable* table = crc_table_create(bench_allocate, bench_release);
  if (table == nullptr) return 1;
  // 8192 bytes: stored entries' chunks; 32768: about what one push of a Deflate entry
  // delivers; 1000: short pieces, where the lanes do not run.
  for (std::uint32_t piece : {1000u, 8192u, 32768u}) {
    double best[2] = {1e9, 1e9};
    std::uint32_t value[2] = {0, 0};
    for (int i = 0; i < repeats; ++i) {
      for (int k = 0; k < 2; ++k) {
        const std::clock_t t0 = std::clock();
        value[k] = crc_of(table, corpus, piece, k == 1);
        const double t = static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
        best[k] = t < best[k] ? t : best[k];
      }
    }
    const double mb = static_cast<double>(corpus.size()) / 1e6;
    std::printf("CRC-32, %5u-byte pieces: ours %7.1f MB/s, zlib crc32 %7.1f MB/s, ours/zlib %.2fx, %s\n", piece,
                mb / best[0], mb / best[1], best[1] / best[0], value[0] == value[1] ? "same value" : "VALUES DIFFER");
    if (value[0] != value[1]) status = 1;
  }
  crc_table_free(table);
  return status;
}
