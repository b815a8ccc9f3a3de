// Entry extraction: stored copies, Deflate through the decoder with its size bound and
// CRC-32, refusals that leave the output alone, and the latched status afterwards.
// Memory given back on failure paths is checked by the sanitizer tree's leak checker.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "tests/support/zip_builder.h"

namespace {

// Compressible text-like bytes: repeated words with some variation.
Bytes text_like(std::size_t count, std::uint32_t seed) {
  static const char* const words[] = {"orvinta ", "installer ", "entry ", "data ", "window ", "\r\n", "0x1F "};
  const Bytes noise = zip_test_random_bytes(count, seed);
  Bytes out;
  std::size_t i = 0;
  while (out.size() < count) {
    const char* w = words[noise[i++ % noise.size()] % 7];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(count);
  return out;
}

struct Opened {
  ZipReader* reader = nullptr;
  BuiltArchive built;
};

Opened open_archive(const TestArchive& archive) {
  Opened o;
  o.built = zip_build(archive);
  FILE* input = zip_test_stream(o.built.bytes);
  if (input == nullptr) return o;
  std::int32_t offset = archive.scrambled ? -1 : 0;
  o.reader = zip_open(input, archive.scrambled ? &offset : nullptr);
  return o;
}

Opened open_single(const TestEntry& entry) {
  TestArchive a;
  a.host = zip_test_random_bytes(123, 99);
  a.entries.push_back(entry);
  a.entries.push_back(zip_test_entry("behind", "the next entry"));
  return open_archive(a);
}

// An output stream that already holds a longer file than any entry here.
FILE* used_output() { return zip_test_stream(zip_test_random_bytes(300000, 77)); }

TEST(ZipExtract, StoredEntriesAroundTheChunkSize) {
  for (std::size_t size : {0u, 1u, 8191u, 8192u, 8193u, 16384u, 40000u}) {
    const Bytes data = zip_test_random_bytes(size, static_cast<std::uint32_t>(size));
    Opened o = open_single(zip_test_entry("stored.bin", data));
    ASSERT_NE(o.reader, nullptr);
    FILE* out = used_output();
    ASSERT_EQ(zip_extract(o.reader, out), 0) << size;
    EXPECT_EQ(std::ftell(out), 0L) << size;
    EXPECT_EQ(zip_test_stream_contents(out), data) << size;
    std::fclose(out);
    EXPECT_EQ(zip_next(o.reader), 0);  // the walk goes on behind the extracted entry
    zip_close(o.reader);
  }
}

TEST(ZipExtract, StoredEntryIgnoresCrcAndUncompressedSize) {
  TestEntry e = zip_test_entry("odd.txt", zip_test_random_bytes(5000, 8));
  e.crc32 = 0x12345678u;
  e.uncompressed_size = 10;
  Opened o = open_single(e);
  ASSERT_NE(o.reader, nullptr);
  FILE* out = used_output();
  EXPECT_EQ(zip_extract(o.reader, out), 0);
  EXPECT_EQ(zip_test_stream_contents(out), e.data);
  std::fclose(out);
  zip_close(o.reader);
}

TEST(ZipExtract, DeflateEntriesRoundTrip) {
  struct Case {
    const char* what;
    Bytes data;
    bool literal_encoder;
  };
  const std::vector<Case> cases = {
      {"empty", {}, false},
      {"one byte", {0x42}, false},
      {"text across many chunks", text_like(300000, 1), false},
      {"incompressible", zip_test_random_bytes(70000, 2), false},
      {"long runs", Bytes(200000, 0x00), false},
      {"fixed-Huffman literals", zip_test_random_bytes(20000, 3), true},
  };
  for (const Case& c : cases) {
    TestEntry e = zip_test_entry("packed", c.data, ZIP_METHOD_DEFLATE);
    if (c.literal_encoder) e.payload = zip_test_deflate_literals(c.data);
    Opened o = open_single(e);
    ASSERT_NE(o.reader, nullptr) << c.what;
    FILE* out = used_output();
    EXPECT_EQ(zip_extract(o.reader, out), 0) << c.what;
    EXPECT_EQ(std::ftell(out), 0L) << c.what;
    EXPECT_TRUE(zip_test_stream_contents(out) == c.data) << c.what;
    std::fclose(out);
    EXPECT_EQ(zip_next(o.reader), 0) << c.what;
    zip_close(o.reader);
  }
}

TEST(ZipExtract, DeflateOutputBoundedByUncompressedSize) {
  const Bytes data = text_like(50000, 4);
  struct Case {
    std::uint32_t declared;
    bool fits;
  };
  const Case cases[] = {
      // Exactly the size, and a larger declared size (only the CRC and the verdict end it): success.
      {50000u, true}, {50001u, true}, {0xFFFFFFFFu, true},
      // One byte short of the decoded length: refused, and nothing past the bound is written.
      {49999u, false}, {0u, false}, {32768u, false},
  };
  for (const Case& c : cases) {
    TestEntry e = zip_test_entry("sized", data, ZIP_METHOD_DEFLATE);
    e.uncompressed_size = c.declared;
    Opened o = open_single(e);
    ASSERT_NE(o.reader, nullptr);
    FILE* out = used_output();
    if (c.fits) {
      EXPECT_EQ(zip_extract(o.reader, out), 0) << c.declared;
      EXPECT_EQ(zip_test_stream_contents(out), data);
    } else {
      EXPECT_EQ(zip_extract(o.reader, out), -1) << c.declared;
      const Bytes written = zip_test_stream_contents(out);
      EXPECT_LE(written.size(), c.declared);
      EXPECT_TRUE(std::equal(written.begin(), written.end(), data.begin()));
    }
    std::fclose(out);
    if (!c.fits) {
      EXPECT_EQ(zip_next(o.reader), -1);
    }
    zip_close(o.reader);
  }
}

TEST(ZipExtract, DeflateCrcMismatchWritesEverythingButFails) {
  const Bytes data = text_like(20000, 5);
  for (std::uint32_t wrong : {zip_test_crc32(data) ^ 1u, 0u, ~zip_test_crc32(data)}) {
    TestEntry e = zip_test_entry("crc", data, ZIP_METHOD_DEFLATE);
    e.crc32 = wrong;
    Opened o = open_single(e);
    ASSERT_NE(o.reader, nullptr);
    FILE* out = used_output();
    EXPECT_EQ(zip_extract(o.reader, out), -1);
    EXPECT_EQ(zip_test_stream_contents(out), data);
    std::fclose(out);
    zip_close(o.reader);
  }
}

TEST(ZipExtract, BrokenDeflateStreams) {
  const Bytes data = text_like(30000, 6);
  const Bytes packed = zip_test_deflate(data);
  struct Case {
    const char* what;
    Bytes payload;
  };
  Bytes garbage_behind = packed;
  garbage_behind.push_back(0x00);
  Bytes bad_block = packed;
  bad_block[0] |= 0x06;  // block type 3, which does not exist
  const std::vector<Case> cases = {
      {"compressed size 0", {}},
      {"stream cut before its end", Bytes(packed.begin(), packed.begin() + packed.size() / 2)},
      {"input left over behind the final block", garbage_behind},
      {"reserved block type", bad_block},
  };
  for (const Case& c : cases) {
    TestEntry e = zip_test_entry("broken", data, ZIP_METHOD_DEFLATE);
    e.payload = c.payload;
    Opened o = open_single(e);
    ASSERT_NE(o.reader, nullptr) << c.what;
    FILE* out = used_output();
    EXPECT_EQ(zip_extract(o.reader, out), -1) << c.what;
    EXPECT_EQ(std::ftell(out), 0L) << c.what;
    std::fclose(out);
    zip_close(o.reader);
  }
}

TEST(ZipExtract, RefusedEntriesLeaveOutputAlone) {
  TestEntry encrypted = zip_test_entry("secret", "abc");
  encrypted.flags = ZIP_FLAG_ENCRYPTED;
  TestEntry unknown_method = zip_test_entry("lzma", "abc");
  unknown_method.method = 12;
  TestEntry encrypted_deflate = zip_test_entry("secret2", "abc", ZIP_METHOD_DEFLATE);
  encrypted_deflate.flags = ZIP_FLAG_ENCRYPTED;
  for (const TestEntry& e : {encrypted, unknown_method, encrypted_deflate}) {
    Opened o = open_single(e);
    ASSERT_NE(o.reader, nullptr) << e.name;
    const Bytes before = zip_test_random_bytes(1000, 10);
    FILE* out = zip_test_stream(before);
    ASSERT_EQ(std::fseek(out, 17, SEEK_SET), 0);
    EXPECT_EQ(zip_extract(o.reader, out), -1) << e.name;
    EXPECT_EQ(std::ftell(out), 17L) << e.name;
    EXPECT_EQ(zip_test_stream_contents(out), before) << e.name;
    // The failure is latched: the walk has ended and later extractions touch nothing.
    EXPECT_EQ(zip_next(o.reader), -1);
    ZipEntryInfo info;
    EXPECT_EQ(zip_get_info(o.reader, &info), -1);
    EXPECT_EQ(zip_extract(o.reader, out), -1);
    EXPECT_EQ(zip_test_stream_contents(out), before);
    std::fclose(out);
    EXPECT_EQ(zip_close(o.reader), -1);
  }
}

TEST(ZipExtract, ArchiveCutInsideEntryData) {
  for (std::uint16_t method : {ZIP_METHOD_STORED, ZIP_METHOD_DEFLATE}) {
    TestArchive a;
    a.entries.push_back(zip_test_entry("big", text_like(100000, 7), method));
    a.central_directory = false;
    BuiltArchive built = zip_build(a);
    const std::uint32_t data_size = built.archive_end - built.data_offsets[0];
    for (std::uint32_t keep : {0u, 1u, data_size / 2, data_size - 1}) {
      Bytes cut(built.bytes.begin(), built.bytes.begin() + built.data_offsets[0] + keep);
      FILE* input = zip_test_stream(cut);
      std::int32_t offset = -1;
      ZipReader* reader = zip_open(input, &offset);
      ASSERT_NE(reader, nullptr);
      FILE* out = used_output();
      EXPECT_EQ(zip_extract(reader, out), -1) << method << " " << keep;
      EXPECT_EQ(std::ftell(out), 0L);
      std::fclose(out);
      EXPECT_EQ(zip_close(reader), -1);
    }
  }
}

TEST(ZipExtract, UnscrambledArchive) {
  TestArchive a;
  a.scrambled = false;
  a.entries.push_back(zip_test_entry("plain.txt", text_like(9000, 8)));
  a.entries.push_back(zip_test_entry("plain.z", text_like(9000, 9), ZIP_METHOD_DEFLATE));
  Opened o = open_archive(a);
  ASSERT_NE(o.reader, nullptr);
  for (const TestEntry& e : a.entries) {
    FILE* out = used_output();
    EXPECT_EQ(zip_extract(o.reader, out), 0) << e.name;
    EXPECT_EQ(zip_test_stream_contents(out), e.data) << e.name;
    std::fclose(out);
    zip_next(o.reader);
  }
  zip_close(o.reader);
}

TEST(ZipExtract, UnscramblingWordsAtAnyAlignmentAndLength) {
  // A word at a time with a byte tail: every start within a word and every length up to
  // a few words gives what the byte-by-byte XOR gives, and touches nothing around it.
  const Bytes original = zip_test_random_bytes(64, 21);
  for (std::size_t start = 0; start < 2 * sizeof(std::uintptr_t); ++start) {
    for (std::size_t length = 0; start + length + 8 <= original.size(); ++length) {
      Bytes bytes = original;
      zip_unscramble(bytes.data() + start, length);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool inside = i >= start && i < start + length;
        ASSERT_EQ(bytes[i], inside ? original[i] ^ ZIP_KEY : original[i]) << start << " " << length << " " << i;
      }
    }
  }
}

TEST(ZipExtract, WholeArchiveWalkedAndExtracted) {
  TestArchive a;
  a.host = zip_test_random_bytes(40000, 30);
  for (int i = 0; i < 60; ++i) {
    const std::size_t size = static_cast<std::size_t>((i * 7919) % 70000);
    const Bytes data = (i % 3 == 0) ? zip_test_random_bytes(size, i) : text_like(size, i);
    TestEntry e = zip_test_entry("entry" + std::to_string(i), data,
                                 (i % 2 == 0) ? ZIP_METHOD_DEFLATE : ZIP_METHOD_STORED);
    e.descriptor = (i % 5) == 1;
    e.extra = Bytes(static_cast<std::size_t>(i % 4) * 5, 0xCC);
    e.level = 1 + i % 9;
    a.entries.push_back(e);
  }
  Opened o = open_archive(a);
  ASSERT_NE(o.reader, nullptr);
  // One output stream reused for every entry: each extraction replaces what it held.
  FILE* out = used_output();
  std::size_t index = 0;
  ZipEntryInfo info;
  while (zip_get_info(o.reader, &info) == 0) {
    ASSERT_LT(index, a.entries.size());
    EXPECT_EQ(info.name, a.entries[index].name);
    ASSERT_EQ(zip_extract(o.reader, out), 0) << info.name;
    ASSERT_TRUE(zip_test_stream_contents(out) == a.entries[index].data) << info.name;
    ++index;
    if (zip_next(o.reader) != 0) break;
  }
  EXPECT_EQ(index, a.entries.size());
  std::fclose(out);
  EXPECT_EQ(zip_close(o.reader), -1);
}

TEST(ZipExtract, DamagedArchivesStayWithinTheirBounds) {
  // Flipped bytes anywhere (headers, names, sizes, data): whatever the walk makes of
  // them, an extraction never writes more than the header allows, and every path
  // gives its memory back (checked by the sanitizer tree).
  TestArchive a;
  a.host = zip_test_random_bytes(64, 40);
  for (int i = 0; i < 6; ++i) {
    a.entries.push_back(zip_test_entry("e" + std::to_string(i), text_like(3000 + i * 1500, i),
                                       i % 2 == 0 ? ZIP_METHOD_DEFLATE : ZIP_METHOD_STORED));
  }
  const Bytes original = zip_build(a).bytes;
  FILE* out = zip_test_stream({});
  ASSERT_NE(out, nullptr);
  for (std::uint32_t round = 0; round < 300; ++round) {
    Bytes damaged = original;
    const Bytes noise = zip_test_random_bytes(8, round);
    for (int k = 0; k < 1 + static_cast<int>(round % 3); ++k) {
      const std::size_t at = (static_cast<std::size_t>(noise[2 * k]) << 8 | noise[2 * k + 1]) % damaged.size();
      damaged[at] ^= static_cast<std::uint8_t>(1u << (noise[6] % 8));
    }
    std::int32_t offset = -1;
    ZipReader* reader = zip_open(zip_test_stream(damaged), &offset);
    if (reader == nullptr) continue;
    ZipEntryInfo info;
    int entries = 0;
    while (zip_get_info(reader, &info) == 0 && entries++ < 10) {
      if (zip_extract(reader, out) == 0) {
        const std::size_t limit =
            info.method == ZIP_METHOD_STORED ? info.compressed_size : info.uncompressed_size;
        ASSERT_LE(zip_test_stream_contents(out).size(), limit) << "round " << round;
      }
      if (zip_next(reader) != 0) break;
    }
    zip_close(reader);
  }
  std::fclose(out);
}

}  // namespace
