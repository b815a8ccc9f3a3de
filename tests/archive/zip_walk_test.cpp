// The archive walk: the four open modes, the scan, header parsing, the latched status
// and the ownership of the input stream.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "tests/support/zip_builder.h"

namespace {

TestArchive three_entries(const Bytes& host) {
  TestArchive a;
  a.host = host;
  a.entries.push_back(zip_test_entry("first.txt", "one"));
  a.entries.push_back(zip_test_entry("second.bin", zip_test_random_bytes(700, 2)));
  a.entries.push_back(zip_test_entry("third.dll", zip_test_random_bytes(40, 5)));
  return a;
}

ZipReader* open_bytes(const Bytes& bytes, std::int32_t* offset) {
  FILE* input = zip_test_stream(bytes);
  if (input == nullptr) return nullptr;
  return zip_open(input, offset);
}

std::string current_name(ZipReader* reader) {
  ZipEntryInfo info;
  if (zip_get_info(reader, &info) != 0) return "<none>";
  return info.name;
}

// Names from the current entry to the end; leaves the reader at the end of the walk.
std::vector<std::string> walk_names(ZipReader* reader) {
  std::vector<std::string> names;
  ZipEntryInfo info;
  while (zip_get_info(reader, &info) == 0) {
    names.push_back(info.name);
    if (zip_next(reader) != 0) break;
  }
  return names;
}

// Opens the archive (scrambled, scanned for) and steps once: the result of that zip_next,
// or 1 when the archive did not even open.
int step_behind_first_entry(const TestArchive& archive) {
  std::int32_t offset = -1;
  ZipReader* reader = open_bytes(zip_build(archive).bytes, &offset);
  if (reader == nullptr) return 1;
  const int result = zip_next(reader);
  zip_close(reader);
  return result;
}

const std::vector<std::string> ALL_THREE = {"first.txt", "second.bin", "third.dll"};

TEST(ZipOpen, ScanFindsArchiveBehindHostBytes) {
  const BuiltArchive built = zip_build(three_entries(zip_test_random_bytes(5003, 11)));
  std::int32_t offset = -1;
  ZipReader* reader = open_bytes(built.bytes, &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(offset, 5003);
  EXPECT_EQ(walk_names(reader), ALL_THREE);
  EXPECT_EQ(zip_close(reader), -1);  // the walk ended by failing to read a header
}

TEST(ZipOpen, ScanFromGivenOffset) {
  const BuiltArchive built = zip_build(three_entries(zip_test_random_bytes(300, 12)));
  const std::int32_t first = static_cast<std::int32_t>(built.header_offsets[0]);
  const std::int32_t third = static_cast<std::int32_t>(built.header_offsets[2]);

  std::int32_t offset = first;  // exactly the first header: taken at once
  ZipReader* reader = open_bytes(built.bytes, &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(offset, first);
  EXPECT_EQ(current_name(reader), "first.txt");
  zip_close(reader);

  offset = first + 1;  // past the first header: the next one carrying version 20
  reader = open_bytes(built.bytes, &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(offset, static_cast<std::int32_t>(built.header_offsets[1]));
  EXPECT_EQ(walk_names(reader), (std::vector<std::string>{"second.bin", "third.dll"}));
  zip_close(reader);

  offset = third + 1;  // past every local header: the central directory does not match
  EXPECT_EQ(open_bytes(built.bytes, &offset), nullptr);
  EXPECT_EQ(offset, third + 1);  // untouched on failure
}

TEST(ZipOpen, ExactModeAcceptsOffsetsZeroAndOneOnly) {
  for (std::size_t host_size : {0u, 1u, 2u, 3u}) {
    const BuiltArchive built = zip_build(three_entries(Bytes(host_size, 0x41)));
    std::int32_t offset = 0;
    ZipReader* reader = open_bytes(built.bytes, &offset);
    if (host_size <= 1) {
      ASSERT_NE(reader, nullptr) << host_size;
      EXPECT_EQ(offset, static_cast<std::int32_t>(host_size));
      EXPECT_EQ(walk_names(reader), ALL_THREE);
      zip_close(reader);
    } else {
      EXPECT_EQ(reader, nullptr) << host_size;
      EXPECT_EQ(offset, 0);
    }
  }
}

TEST(ZipOpen, NoVariableMeansUnscrambledExact) {
  TestArchive plain = three_entries({});
  plain.scrambled = false;
  ZipReader* reader = open_bytes(zip_build(plain).bytes, nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(walk_names(reader), ALL_THREE);
  zip_close(reader);

  plain.host = Bytes(1, 0);
  reader = open_bytes(zip_build(plain).bytes, nullptr);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(current_name(reader), "first.txt");
  zip_close(reader);

  plain.host = Bytes(2, 0);
  EXPECT_EQ(open_bytes(zip_build(plain).bytes, nullptr), nullptr);
  // A scrambled archive is not recognised without the variable, and a plain one not with it.
  EXPECT_EQ(open_bytes(zip_build(three_entries({})).bytes, nullptr), nullptr);
  std::int32_t offset = -1;
  plain.host.clear();
  EXPECT_EQ(open_bytes(zip_build(plain).bytes, &offset), nullptr);
  EXPECT_EQ(offset, -1);
}

TEST(ZipOpen, ScanSkipsHeadersNotMarkedVersion20ButWalkReadsThem) {
  TestArchive a = three_entries(zip_test_random_bytes(64, 13));
  a.entries[0].version_needed = 10;
  a.entries[2].version_needed = 45;
  const BuiltArchive built = zip_build(a);
  std::int32_t offset = -1;
  ZipReader* reader = open_bytes(built.bytes, &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(offset, static_cast<std::int32_t>(built.header_offsets[1]));
  ZipEntryInfo info;
  ASSERT_EQ(zip_get_info(reader, &info), 0);
  EXPECT_EQ(info.version_needed, 20);
  ASSERT_EQ(zip_next(reader), 0);
  ASSERT_EQ(zip_get_info(reader, &info), 0);
  EXPECT_STREQ(info.name, "third.dll");
  EXPECT_EQ(info.version_needed, 45);
  zip_close(reader);
}

TEST(ZipOpen, FailuresCloseTheStreamExactlyOnce) {
  if (!zip_test_counted_streams_supported()) GTEST_SKIP() << "no observable streams here";

  // The pattern in the host bytes with name length 0 behind it: the scan does not go on.
  Bytes host = zip_test_random_bytes(200, 14);
  Bytes fake(ZIP_LOCAL_HEADER_SIZE, 0);
  std::memcpy(fake.data(), ZIP_SCAN_PATTERN, sizeof ZIP_SCAN_PATTERN);
  zip_test_scramble(fake, 0, fake.size());
  host.insert(host.begin() + 50, fake.begin(), fake.end());
  const BuiltArchive decoy = zip_build(three_entries(host));

  struct Case {
    const char* what;
    Bytes bytes;
    std::int32_t offset;
  };
  const std::vector<Case> cases = {
      {"empty stream", {}, -1},
      {"no signature", zip_test_random_bytes(4000, 15), -1},
      {"false signature with name length 0", decoy.bytes, -1},
      {"exact mode, archive at offset 2", zip_build(three_entries(Bytes(2, 1))).bytes, 0},
      {"start beyond the end", zip_build(three_entries({})).bytes, 1 << 20},
  };
  for (const Case& c : cases) {
    int closes = 0;
    FILE* input = zip_test_counted_stream(c.bytes, &closes);
    ASSERT_NE(input, nullptr);
    std::int32_t offset = c.offset;
    EXPECT_EQ(zip_open(input, &offset), nullptr) << c.what;
    EXPECT_EQ(closes, 1) << c.what;
    EXPECT_EQ(offset, c.offset) << c.what;
  }

  // Success: the reader owns the stream until zip_close closes it, once.
  int closes = 0;
  FILE* input = zip_test_counted_stream(zip_build(three_entries({})).bytes, &closes);
  std::int32_t offset = -1;
  ZipReader* reader = zip_open(input, &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(closes, 0);
  EXPECT_EQ(zip_close(reader), 0);  // still on an entry: healthy
  EXPECT_EQ(closes, 1);
}

TEST(ZipOpen, NoStream) {
  std::int32_t offset = -1;
  EXPECT_EQ(zip_open(nullptr, &offset), nullptr);
  EXPECT_EQ(offset, -1);
}

TEST(ZipWalk, EndLatchesFailure) {
  std::int32_t offset = -1;
  ZipReader* reader = open_bytes(zip_build(three_entries({})).bytes, &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(zip_next(reader), 0);
  EXPECT_EQ(zip_next(reader), 0);
  EXPECT_EQ(current_name(reader), "third.dll");
  EXPECT_EQ(zip_next(reader), -1);  // the central directory is not a local header
  ZipEntryInfo info;
  std::memset(&info, 0x5A, sizeof info);
  EXPECT_EQ(zip_get_info(reader, &info), -1);
  EXPECT_EQ(info.signature, 0x5A5A5A5Au);  // left untouched
  EXPECT_EQ(zip_next(reader), -1);
  EXPECT_EQ(zip_close(reader), -1);
}

TEST(ZipWalk, EntryInfoCarriesEveryHeaderField) {
  TestArchive a;
  TestEntry e = zip_test_entry("data/x.bin", zip_test_random_bytes(100, 4));
  e.flags = 0x0802;
  e.method = 0x0063;  // any method: the walk does not care
  e.payload = zip_test_random_bytes(37, 6);
  e.mod_time = 0x1234;
  e.mod_date = 0x4321;
  e.crc32 = 0xA1B2C3D4u;
  e.uncompressed_size = 0x00C0FFEEu;
  e.extra = Bytes(9, 0xEE);
  a.entries.push_back(e);
  a.entries.push_back(zip_test_entry("after", "z"));
  const Bytes bytes = zip_build(a).bytes;
  // The reader and the builder share the key and the byte order; the bytes on disk,
  // unscrambled here with the literal key, show both are what the format says.
  const auto plain = [&bytes](std::size_t at) { return bytes[at] ^ 0xA7; };
  EXPECT_EQ(plain(0), 0x50);  // "PK\3\4"
  EXPECT_EQ(plain(3), 0x04);
  EXPECT_EQ(plain(6), 0x02);  // flags 0x0802, low byte first
  EXPECT_EQ(plain(7), 0x08);
  EXPECT_EQ(plain(14), 0xD4);  // CRC-32 0xA1B2C3D4
  EXPECT_EQ(plain(17), 0xA1);
  std::int32_t offset = -1;
  ZipReader* reader = open_bytes(bytes, &offset);
  ASSERT_NE(reader, nullptr);
  ZipEntryInfo info;
  ASSERT_EQ(zip_get_info(reader, &info), 0);
  EXPECT_EQ(info.signature, ZIP_LOCAL_SIGNATURE);
  EXPECT_EQ(info.version_needed, 20);
  EXPECT_EQ(info.flags, 0x0802);
  EXPECT_EQ(info.method, 0x0063);
  EXPECT_EQ(info.mod_time, 0x1234);
  EXPECT_EQ(info.mod_date, 0x4321);
  EXPECT_EQ(info.crc32, 0xA1B2C3D4u);
  EXPECT_EQ(info.compressed_size, 37u);
  EXPECT_EQ(info.uncompressed_size, 0x00C0FFEEu);
  EXPECT_EQ(info.name_length, 10);
  EXPECT_EQ(info.extra_length, 9);
  EXPECT_STREQ(info.name, "data/x.bin");
  for (std::size_t i = 10; i < sizeof info.name; ++i) ASSERT_EQ(info.name[i], 0) << i;
  // Repeatable, and the extra field was stepped over to reach the next entry.
  ASSERT_EQ(zip_get_info(reader, &info), 0);
  EXPECT_STREQ(info.name, "data/x.bin");
  EXPECT_EQ(zip_next(reader), 0);
  EXPECT_EQ(current_name(reader), "after");
  zip_close(reader);
}

TEST(ZipWalk, DescriptorIsSkipped) {
  TestArchive a = three_entries({});
  a.entries[0].descriptor = true;
  a.entries[1].descriptor = true;
  std::int32_t offset = -1;
  ZipReader* reader = open_bytes(zip_build(a).bytes, &offset);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(walk_names(reader), ALL_THREE);
  zip_close(reader);

  // The flag alone, without the 16 bytes, sends the walk into the next entry's data.
  a = three_entries({});
  a.entries[0].flags = ZIP_FLAG_DESCRIPTOR;
  EXPECT_EQ(step_behind_first_entry(a), -1);
}

TEST(ZipWalk, NameLengthLimits) {
  TestArchive a;
  const std::string longest(255, 'n');
  a.entries.push_back(zip_test_entry(longest, "x"));
  a.entries.push_back(zip_test_entry(std::string(256, 'm'), "y"));
  a.entries.push_back(zip_test_entry("never", "z"));
  std::int32_t offset = -1;
  ZipReader* reader = open_bytes(zip_build(a).bytes, &offset);
  ASSERT_NE(reader, nullptr);
  ZipEntryInfo info;
  ASSERT_EQ(zip_get_info(reader, &info), 0);
  EXPECT_EQ(std::string(info.name), longest);
  EXPECT_EQ(info.name[255], 0);
  EXPECT_EQ(zip_next(reader), -1);  // 256 bytes do not fit the buffer with its terminator
  zip_close(reader);

  // As the first entry, a 256+ byte name fails the open.
  a.entries.erase(a.entries.begin());
  a.entries[0].name = std::string(1000, 'q');
  offset = -1;
  EXPECT_EQ(open_bytes(zip_build(a).bytes, &offset), nullptr);
}

TEST(ZipWalk, MalformedHeaders) {
  // A second header that does not parse ends the walk there.
  struct Case {
    const char* what;
    void (*damage)(TestEntry& second);
  };
  const Case cases[] = {
      {"name length 0", [](TestEntry& second) { second.name_length = 0; }},
      {"wrong signature", [](TestEntry& second) { second.signature = 0x04034B51u; }},
  };
  for (const Case& c : cases) {
    TestArchive a = three_entries({});
    c.damage(a.entries[1]);
    EXPECT_EQ(step_behind_first_entry(a), -1) << c.what;
  }

  // Cut inside the second header, then inside its name.
  TestArchive a = three_entries({});
  a.central_directory = false;
  const BuiltArchive built = zip_build(a);
  std::int32_t offset = -1;
  for (std::uint32_t cut : {built.header_offsets[1] + 1, built.header_offsets[1] + 29,
                            built.header_offsets[1] + 30, built.data_offsets[1] - 1}) {
    Bytes bytes(built.bytes.begin(), built.bytes.begin() + cut);
    ZipReader* reader = open_bytes(bytes, &offset);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(zip_next(reader), -1) << cut;
    ZipEntryInfo info;
    EXPECT_EQ(zip_get_info(reader, &info), -1);
    zip_close(reader);
  }
  // The first header cut short: the open fails.
  Bytes first_cut(built.bytes.begin(), built.bytes.begin() + built.data_offsets[0] - 1);
  EXPECT_EQ(open_bytes(first_cut, &offset), nullptr);
}

TEST(ZipWalk, SizesPointingPastTwoGigabytesAreMalformed) {
  // The next-header offset would pass INT32_MAX; it must fail cleanly, not wrap.
  for (std::uint32_t size : {0x7FFFFFF0u, 0x80000000u, 0xFFFFFFFFu}) {
    TestArchive a = three_entries({});
    a.entries[0].compressed_size = size;
    EXPECT_EQ(step_behind_first_entry(a), -1) << size;
  }
}

}  // namespace
