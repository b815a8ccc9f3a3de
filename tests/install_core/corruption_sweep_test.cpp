// Damages a small installer's archive in every way a single byte or a cut can and runs
// each result through the reader and the installer's entry loop. Whatever the damage:
// no crash or sanitizer report, nothing created outside the destination, and the run
// ends in one of the installer's outcomes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <array>
#include <string>
#include <vector>

#include "install_core/install_entries.h"
#include "tests/install_core/sandbox.h"
#include "tests/support/zip_builder.h"

namespace {

enum Outcome { OPEN_FAILED, CREATE_FAILED, EXTRACT_FAILED, SILENT_STOP, SUCCESS, OUTCOME_COUNT };

struct SweepRun {
  Outcome outcome;
  std::uint32_t files_written;
};

class CorruptionSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_create(sandbox));
    TestArchive archive;
    archive.host = zip_test_random_bytes(1500, 21);
    std::string notes;
    for (int i = 0; notes.size() < 600; ++i) notes += "note " + std::to_string(i % 7) + " about the installation\n";
    archive.entries.push_back(zip_test_entry("orvinta.exe", zip_test_random_bytes(60, 22)));
    archive.entries.push_back(zip_test_entry("notes.txt", notes, ZIP_METHOD_DEFLATE));
    archive.entries.push_back(zip_test_entry("data.bin", zip_test_random_bytes(40, 23)));
    entries = archive.entries;
    built = zip_build(archive);
  }
  void TearDown() override { sandbox_remove(sandbox); }

  SweepRun run(const Bytes& bytes) {
    if (!sandbox.created.empty()) sandbox_reset(sandbox);  // nothing asked for: still empty
    std::int32_t offset = -1;
    // A memory stream keeps tens of thousands of runs off the disk.
    FILE* input = bytes.empty() ? zip_test_stream(bytes)
                                : fmemopen(const_cast<std::uint8_t*>(bytes.data()), bytes.size(), "rb");
    ZipReader* reader = zip_open(input, &offset);
    if (reader == nullptr) return SweepRun{OPEN_FAILED, 0};
    InstallPath entry_path;
    const InstallLoopResult loop = install_entries(reader, sandbox.destination.c_str(), sandbox_ops(sandbox), entry_path);
    zip_close(reader);
    switch (loop.stop) {
      case INSTALL_STOP_CREATE_FAILED: return SweepRun{CREATE_FAILED, loop.files_written};
      case INSTALL_STOP_EXTRACT_FAILED: return SweepRun{EXTRACT_FAILED, loop.files_written};
      case INSTALL_STOP_WALK_ENDED: break;
    }
    return SweepRun{loop.files_written == entries.size() ? SUCCESS : SILENT_STOP, loop.files_written};
  }

  // What must hold after every run, whatever the damage.
  // deflate_intact: the damage spares the Deflate entry's method field (a method turned
  // to "stored" legitimately copies the compressed bytes unchecked).
  void check_contained(const SweepRun& result, const std::string& what, bool deflate_intact = true) {
    ASSERT_FALSE(sandbox.escaped) << what;
    ASSERT_TRUE(sandbox_outside_files(sandbox).empty()) << what;
    const std::vector<std::string> files = sandbox_destination_files(sandbox);
    ASSERT_LE(files.size(), sandbox.created.size()) << what;
    ASSERT_LE(result.files_written, sandbox.created.size()) << what;
    // All three names back and all counted as written: the Deflate entry is CRC-checked,
    // so it must be exactly the original.
    if (deflate_intact && result.outcome == SUCCESS && files == std::vector<std::string>{"data.bin", "notes.txt", "orvinta.exe"}) {
      ASSERT_EQ(zip_test_file_contents(sandbox.destination + "/notes.txt"), entries[1].data) << what;
    }
  }

  Sandbox sandbox;
  std::vector<TestEntry> entries;
  BuiltArchive built;
};

TEST_F(CorruptionSweep, UndamagedInstallerSucceeds) {
  const SweepRun result = run(built.bytes);
  EXPECT_EQ(result.outcome, SUCCESS);
  for (const TestEntry& entry : entries) {
    EXPECT_EQ(zip_test_file_contents(sandbox.destination + "/" + entry.name), entry.data) << entry.name;
  }
}

TEST_F(CorruptionSweep, EverySingleByteChangeOfTheArchive) {
  std::array<std::uint32_t, OUTCOME_COUNT> seen{};
  const std::uint32_t begin = built.header_offsets[0];
  for (std::uint32_t at = begin; at < built.bytes.size(); ++at) {
    // Header bytes get every other value; data and trailing bytes every single-bit flip
    // and the two extremes (the scrambled forms of 0x00 and 0xFF among them).
    const bool in_header = std::any_of(built.header_offsets.begin(), built.header_offsets.end(), [&](std::uint32_t h) {
      return at >= h && at < h + ZIP_LOCAL_HEADER_SIZE + 16;
    });
    std::vector<std::uint8_t> values;
    if (in_header) {
      for (int v = 0; v < 256; ++v) values.push_back(static_cast<std::uint8_t>(v));
    } else {
      for (int bit = 0; bit < 8; ++bit) values.push_back(static_cast<std::uint8_t>(built.bytes[at] ^ (1u << bit)));
      for (const std::uint8_t v : std::array<std::uint8_t, 4>{0x00, 0xFF, ZIP_KEY, static_cast<std::uint8_t>(0xFF ^ ZIP_KEY)}) values.push_back(v);
    }
    for (const std::uint8_t value : values) {
      if (value == built.bytes[at]) continue;
      Bytes damaged = built.bytes;
      damaged[at] = value;
      const SweepRun result = run(damaged);
      ++seen[result.outcome];
      const std::uint32_t method_field = built.header_offsets[1] + 8;
      check_contained(result, "byte " + std::to_string(at) + " = " + std::to_string(value),
                      at != method_field && at != method_field + 1);
      if (HasFatalFailure()) return;
    }
  }
  // The sweep reaches every kind of ending; one that never happens means the damage no
  // longer reaches the reader.
  for (int outcome = 0; outcome < OUTCOME_COUNT; ++outcome) EXPECT_GT(seen[outcome], 0u) << "outcome " << outcome;
}

TEST_F(CorruptionSweep, EveryTruncationPointEndsWhereTheCutIs) {
  const std::size_t count = built.header_offsets.size();
  for (std::uint32_t cut = 0; cut <= built.bytes.size(); ++cut) {
    Bytes damaged(built.bytes.begin(), built.bytes.begin() + cut);
    const SweepRun result = run(damaged);
    const std::string what = "cut at " + std::to_string(cut);
    check_contained(result, what);
    if (HasFatalFailure()) return;

    // Where the cut falls decides the ending: inside the first header nothing opens;
    // inside an entry's data that entry fails to read; inside a later header the walk
    // stops silently behind the complete entries; behind the last entry all is there.
    if (cut < built.data_offsets[0]) {
      EXPECT_EQ(result.outcome, OPEN_FAILED) << what;
      continue;
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint32_t data_end = k + 1 < count ? built.header_offsets[k + 1] : built.archive_end;
      if (cut >= built.data_offsets[k] && cut < data_end) {
        EXPECT_EQ(result.outcome, EXTRACT_FAILED) << what;
        EXPECT_EQ(result.files_written, k) << what;
      }
      if (k + 1 < count && cut >= data_end && cut < built.data_offsets[k + 1]) {
        EXPECT_EQ(result.outcome, SILENT_STOP) << what;
        EXPECT_EQ(result.files_written, k + 1) << what;
      }
    }
    if (cut >= built.archive_end) {
      EXPECT_EQ(result.outcome, SUCCESS) << what;
    }
  }
}

}  // namespace
