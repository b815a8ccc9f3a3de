// The archive writer against the installer's own reader, an independent CRC-32 and the
// central directory a ZIP tool reads; the conversions and scans it relies on.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "common/little_endian.h"
#include "tests/support/zip_builder.h"
#include "tools/archive_writer.h"
#include "tools/dos_time.h"
#include "tools/entry_check.h"
#include "tools/zip_central.h"

namespace {

std::uint32_t get16(const Bytes& b, std::size_t at) { return le_load16(b.data() + at); }
std::uint32_t get32(const Bytes& b, std::size_t at) { return le_load32(b.data() + at); }

// A temporary file that is removed at the end of the test.
struct TempPath {
  std::string path;
  int fd;
  TempPath() {
    char pattern[] = "/tmp/pack-writer-XXXXXX";
    fd = mkstemp(pattern);
    path = pattern;
  }
  ~TempPath() {
    if (fd >= 0) close(fd);
    unlink(path.c_str());
  }
};

struct Input {
  std::string name;
  Bytes data;
};

constexpr DosDateTime SOME_TIME = {0x6000, 0x5A21};

Bytes text_bytes(std::size_t count) {
  Bytes data;
  for (std::size_t i = 0; data.size() < count; ++i) {
    const std::string line = "line " + std::to_string(i % 97) + " of a text file\n";
    data.insert(data.end(), line.begin(), line.end());
  }
  data.resize(count);
  return data;
}

// Writes stub + archive of the inputs at the level and returns the file's bytes.
Bytes write_archive(const Bytes& stub, const std::vector<Input>& inputs, int level) {
  TempPath file;
  EXPECT_GE(file.fd, 0);
  EXPECT_EQ(write(file.fd, stub.data(), stub.size()), static_cast<ssize_t>(stub.size()));
  ArchiveWriter writer{};
  EXPECT_TRUE(writer_start(&writer, file.fd, stub.size(), level)) << writer.error;
  for (const Input& input : inputs) {
    EXPECT_TRUE(writer_add(&writer, input.name, SOME_TIME, input.data.data(), input.data.size()))
        << writer.error;
  }
  EXPECT_TRUE(writer_finish(&writer, "made by a test")) << writer.error;
  writer_release(&writer);
  return zip_test_file_contents(file.path);
}

TEST(ArchiveWriter, EntriesReadBackThroughTheInstallersScan) {
  const Bytes stub = zip_test_random_bytes(3000, 11);
  const std::vector<Input> inputs = {
      {"empty.txt", {}},
      {"one.bin", {0x42}},
      {"noise.bin", zip_test_random_bytes(20000, 5)},
      {"text.txt", text_bytes(70000)},
      {"zeros.bin", Bytes(8193, 0)},
  };
  const Bytes file = write_archive(stub, inputs, 12);
  ASSERT_GT(file.size(), stub.size());
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), file.begin()));

  std::int32_t offset = -1;
  ZipReader* reader = zip_open(zip_test_stream(file), &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(offset, static_cast<std::int32_t>(stub.size()));
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    ZipEntryInfo info{};
    ASSERT_EQ(zip_get_info(reader, &info), 0) << i;
    EXPECT_STREQ(info.name, inputs[i].name.c_str());
    EXPECT_EQ(info.version_needed, ZIP_SCAN_VERSION);
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.mod_time, SOME_TIME.time);
    EXPECT_EQ(info.mod_date, SOME_TIME.date);
    EXPECT_EQ(info.crc32, zip_test_crc32(inputs[i].data));
    EXPECT_EQ(info.uncompressed_size, inputs[i].data.size());
    EXPECT_EQ(info.extra_length, 0);
    FILE* out = std::tmpfile();
    ASSERT_EQ(zip_extract(reader, out), 0) << inputs[i].name;
    EXPECT_EQ(zip_test_stream_contents(out), inputs[i].data) << inputs[i].name;
    std::fclose(out);
    // Deflate only where it shrinks the data: noise and tiny files stay stored.
    const bool compressible = inputs[i].name == "text.txt" || inputs[i].name == "zeros.bin";
    EXPECT_EQ(info.method, compressible ? ZIP_METHOD_DEFLATE : ZIP_METHOD_STORED) << inputs[i].name;
    if (info.method == ZIP_METHOD_STORED) EXPECT_EQ(info.compressed_size, info.uncompressed_size);
    else EXPECT_LT(info.compressed_size, info.uncompressed_size);
    const int moved = zip_next(reader);
    EXPECT_EQ(moved, i + 1 < inputs.size() ? 0 : -1);
  }
  zip_close(reader);
}

TEST(ArchiveWriter, LevelZeroStoresEverything) {
  const std::vector<Input> inputs = {{"text.txt", text_bytes(50000)}, {"zeros.bin", Bytes(9000, 0)}};
  const Bytes file = write_archive(Bytes(10, 'x'), inputs, 0);
  std::int32_t offset = -1;
  ZipReader* reader = zip_open(zip_test_stream(file), &offset);
  ASSERT_NE(reader, nullptr);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    ZipEntryInfo info{};
    ASSERT_EQ(zip_get_info(reader, &info), 0);
    EXPECT_EQ(info.method, ZIP_METHOD_STORED);
    EXPECT_EQ(info.compressed_size, inputs[i].data.size());
    zip_next(reader);
  }
  zip_close(reader);
}

TEST(ArchiveWriter, CentralDirectoryCountsFromTheFirstLocalHeader) {
  const Bytes stub = zip_test_random_bytes(777, 3);
  const std::vector<Input> inputs = {{"a.txt", text_bytes(4000)}, {"b.bin", zip_test_random_bytes(300, 1)}};
  Bytes file = write_archive(stub, inputs, 6);
  zip_test_scramble(file, stub.size(), file.size());
  const Bytes archive(file.begin() + static_cast<std::ptrdiff_t>(stub.size()), file.end());

  // The end record, then its comment, end the archive.
  const std::string comment = "made by a test";
  ASSERT_GE(archive.size(), ZIP_END_RECORD_SIZE + comment.size());
  const std::size_t end = archive.size() - ZIP_END_RECORD_SIZE - comment.size();
  EXPECT_EQ(get32(archive, end), ZIP_END_SIGNATURE);
  EXPECT_EQ(get16(archive, end + 20), comment.size());
  EXPECT_EQ(std::string(archive.end() - static_cast<std::ptrdiff_t>(comment.size()), archive.end()), comment);
  EXPECT_EQ(get16(archive, end + 8), inputs.size());
  EXPECT_EQ(get16(archive, end + 10), inputs.size());
  const std::uint32_t central_size = get32(archive, end + 12);
  std::size_t at = get32(archive, end + 16);
  EXPECT_EQ(at + central_size, end);
  for (const Input& input : inputs) {
    ASSERT_EQ(get32(archive, at), ZIP_CENTRAL_SIGNATURE);
    const std::uint32_t name_length = get16(archive, at + 28);
    EXPECT_EQ(std::string(archive.begin() + at + 46, archive.begin() + at + 46 + name_length), input.name);
    EXPECT_EQ(get32(archive, at + 16), zip_test_crc32(input.data));
    const std::uint32_t local = get32(archive, at + 42);
    EXPECT_EQ(get32(archive, local), ZIP_LOCAL_SIGNATURE);
    // Every field the central record repeats agrees with the local header.
    for (std::size_t field = 0; field < 24; ++field) {
      EXPECT_EQ(archive[at + 6 + field], archive[local + 4 + field]) << input.name << " " << field;
    }
    at += ZIP_CENTRAL_HEADER_SIZE + name_length;
  }
}

TEST(ArchiveWriter, NothingIsWrittenPastTwoGibibytes) {
  TempPath file;
  ArchiveWriter writer{};
  // Pretend a stub ends 100 bytes below the limit: one small entry fits, its central
  // record and end record do not.
  ASSERT_TRUE(writer_start(&writer, file.fd, ZIP_MAX_FILE_END - 100, 0));
  const Bytes data(60, 'd');
  ASSERT_TRUE(writer_add(&writer, "a", SOME_TIME, data.data(), data.size())) << writer.error;
  EXPECT_FALSE(writer_add(&writer, "b", SOME_TIME, data.data(), data.size()));
  EXPECT_NE(writer.error.find("2 GiB"), std::string::npos) << writer.error;
  EXPECT_FALSE(writer_finish(&writer, ""));
  writer_release(&writer);
  EXPECT_EQ(zip_test_file_contents(file.path).size(), ZIP_LOCAL_HEADER_SIZE + 1 + data.size());
}

TEST(ArchiveWriter, RefusesLevelsOutsideTheCompressorsRange) {
  ArchiveWriter writer{};
  EXPECT_FALSE(writer_start(&writer, -1, 0, 13));
  EXPECT_FALSE(writer_start(&writer, -1, 0, -1));
  writer_release(&writer);
}

TEST(DosTime, ConvertsAndClampsToTheDosRange) {
  const DosDateTime known = dos_from_unix(1700000000, true);  // 2023-11-14 22:13:20 UTC
  EXPECT_EQ(known.time, (22 << 11) | (13 << 5) | (20 / 2));
  EXPECT_EQ(known.date, ((2023 - 1980) << 9) | (11 << 5) | 14);
  const DosDateTime odd = dos_from_unix(1700000001, true);  // odd seconds round down
  EXPECT_EQ(odd.time, known.time);
  const DosDateTime early = dos_from_unix(0, true);  // 1970 is before DOS time begins
  EXPECT_EQ(early.date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(early.time, 0);
  const DosDateTime late = dos_from_unix(4354819200LL, true);  // 2108-01-01
  EXPECT_EQ(late.date >> 9, 127);
  EXPECT_EQ((late.date >> 5) & 0x0F, 12);
  EXPECT_EQ(late.date & 0x1F, 31);
}

TEST(DosTime, LocalRoundTripKeepsEvenSeconds) {
  for (std::time_t moment : {std::time_t{1000000000}, std::time_t{1234567891}, std::time_t{1700000000}}) {
    const std::time_t back = dos_to_unix_local(dos_from_unix(moment, false));
    EXPECT_EQ(back, moment - moment % 2) << moment;
  }
  EXPECT_EQ(dos_to_unix_local(DosDateTime{0, 0}), -1);  // month 0, day 0
}

TEST(EntryCheck, FindsTheScrambledPatternWhereverItLies) {
  Bytes pattern(std::begin(ZIP_SCAN_PATTERN), std::end(ZIP_SCAN_PATTERN));
  zip_test_scramble(pattern, 0, pattern.size());
  for (std::size_t at : {std::size_t{0}, std::size_t{65533}, std::size_t{65536}, std::size_t{200000}}) {
    Bytes file(210000, 0x11);
    std::copy(pattern.begin(), pattern.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
    TempPath path;
    ASSERT_TRUE(zip_test_write_file(path.path, file));
    std::string error;
    EXPECT_EQ(find_scan_pattern(path.path.c_str(), &error), static_cast<std::int64_t>(at));
    EXPECT_TRUE(error.empty());
  }
  // A file full of the pattern's first byte: every position is a candidate.
  Bytes crowded(140000, pattern[0]);
  std::copy(pattern.begin(), pattern.end(), crowded.begin() + 70000);
  TempPath crowded_path;
  ASSERT_TRUE(zip_test_write_file(crowded_path.path, crowded));
  std::string crowded_error;
  EXPECT_EQ(find_scan_pattern(crowded_path.path.c_str(), &crowded_error), 70000);
  TempPath clean;
  Bytes unscrambled(ZIP_SCAN_PATTERN, ZIP_SCAN_PATTERN + 6);  // plain "PK\3\4" is no match
  ASSERT_TRUE(zip_test_write_file(clean.path, unscrambled));
  std::string error;
  EXPECT_EQ(find_scan_pattern(clean.path.c_str(), &error), -1);
}

TEST(EntryCheck, WalkEndIsCleanOnlyAtACompleteCentralDirectoryOrTheEnd) {
  TestArchive archive;
  archive.host = zip_test_random_bytes(100, 2);
  archive.entries.push_back(zip_test_entry("a.txt", "first"));
  const BuiltArchive built = zip_build(archive);
  TempPath path;
  const auto check = [&](const Bytes& bytes, std::int64_t end_offset, std::int64_t limit, std::uint32_t walked) {
    EXPECT_TRUE(zip_test_write_file(path.path, bytes));
    return archive_end_check(path.path.c_str(), end_offset, static_cast<std::int64_t>(bytes.size()), limit, walked);
  };
  const std::int64_t size = static_cast<std::int64_t>(built.bytes.size());
  ArchiveEnd end = check(built.bytes, built.archive_end, size, 1);
  EXPECT_EQ(end.problem, "");
  EXPECT_TRUE(end.central_directory);
  EXPECT_EQ(check(built.bytes, size, size, 1).problem, "");  // no central directory at all

  // A signed file: zeros up to 8-byte alignment, then the certificate table.
  Bytes signed_file = built.bytes;
  signed_file.resize(signed_file.size() + 5, 0);
  const std::int64_t table = static_cast<std::int64_t>(signed_file.size());
  signed_file.resize(signed_file.size() + 64, 0x30);
  EXPECT_EQ(check(signed_file, built.archive_end, table, 1).problem, "");
  signed_file[static_cast<std::size_t>(table) - 2] = 1;  // not padding
  EXPECT_NE(check(signed_file, built.archive_end, table, 1).problem.find("unexpected bytes"), std::string::npos);

  const struct {
    const char* what;
    std::size_t cut;          // bytes taken off the end
    std::uint32_t walked;
    const char* problem;
  } damaged[] = {
      {"central record cut", 30, 1, "cut short"},
      {"end record cut", 3, 1, "cut short"},
      {"other entry count", 0, 2, "the installer's walk finds 2"},
  };
  for (const auto& c : damaged) {
    SCOPED_TRACE(c.what);
    const Bytes cut(built.bytes.begin(), built.bytes.end() - static_cast<std::ptrdiff_t>(c.cut));
    end = check(cut, built.archive_end, static_cast<std::int64_t>(cut.size()), c.walked);
    EXPECT_NE(end.problem.find(c.problem), std::string::npos) << end.problem;
  }
  EXPECT_NE(check(built.bytes, size + 10, size, 1).problem.find("past the end of the file"), std::string::npos);

  archive.entries.push_back(zip_test_entry("b.txt", "second"));
  archive.entries.back().name_length = 0;  // a header the reader rejects
  const BuiltArchive hidden = zip_build(archive);
  end = check(hidden.bytes, hidden.header_offsets[1], static_cast<std::int64_t>(hidden.bytes.size()), 1);
  EXPECT_NE(end.problem.find("local header at offset " + std::to_string(hidden.header_offsets[1])), std::string::npos)
      << end.problem;
}

}  // namespace
