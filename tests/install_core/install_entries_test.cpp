// The entry loop over real archives, writing into a throw-away folder: what is written,
// where the loop stops, and what it names when it stops.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "install_core/install_entries.h"
#include "tests/install_core/sandbox.h"
#include "tests/support/zip_builder.h"

namespace {

class InstallEntries : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox_create(sandbox)); }
  void TearDown() override { sandbox_remove(sandbox); }

  // Runs the loop over the archive as the installer does (scrambled, scanned from 0).
  InstallLoopResult run(const BuiltArchive& built, bool* opened = nullptr) {
    std::int32_t offset = -1;
    ZipReader* reader = zip_open(zip_test_stream(built.bytes), &offset);
    if (opened != nullptr) *opened = reader != nullptr;
    if (reader == nullptr) return InstallLoopResult{INSTALL_STOP_WALK_ENDED, 0};
    const InstallLoopResult result = install_entries(reader, sandbox.destination.c_str(), sandbox_ops(sandbox), entry_path);
    zip_close(reader);
    return result;
  }

  Bytes file(const std::string& name) { return zip_test_file_contents(sandbox.destination + "/" + name); }

  Sandbox sandbox;
  InstallPath entry_path;
};

TestArchive installer_with(std::vector<TestEntry> entries) {
  TestArchive archive;
  archive.host = zip_test_random_bytes(3000, 11);
  archive.entries = std::move(entries);
  return archive;
}

TEST_F(InstallEntries, WritesStoredAndDeflatedFilesOfAssortedSizes) {
  std::vector<TestEntry> entries;
  const std::size_t sizes[] = {0, 1, 8191, 8192, 8193, 70000, 300000};
  for (std::size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
    const Bytes data = zip_test_random_bytes(sizes[i], 100 + static_cast<std::uint32_t>(i));
    entries.push_back(zip_test_entry("s" + std::to_string(i) + ".bin", data, ZIP_METHOD_STORED));
    Bytes text;
    while (text.size() < sizes[i]) {
      const std::string line = "line " + std::to_string(text.size() % 977) + " of the sample\n";
      text.insert(text.end(), line.begin(), line.end());
    }
    text.resize(sizes[i]);
    entries.push_back(zip_test_entry("d" + std::to_string(i) + ".txt", text, ZIP_METHOD_DEFLATE));
  }
  const TestArchive archive = installer_with(entries);
  const InstallLoopResult result = run(zip_build(archive));
  EXPECT_EQ(result.stop, INSTALL_STOP_WALK_ENDED);
  EXPECT_EQ(result.files_written, entries.size());
  for (const TestEntry& entry : entries) EXPECT_EQ(file(entry.name), entry.data) << entry.name;
  EXPECT_EQ(sandbox_destination_files(sandbox).size(), entries.size());
  EXPECT_TRUE(sandbox_outside_files(sandbox).empty());
}

TEST_F(InstallEntries, ReplacesAnOldFileOfTheSameName) {
  ASSERT_TRUE(zip_test_write_file(sandbox.destination + "/a.txt", Bytes(5000, 'x')));
  const InstallLoopResult result = run(zip_build(installer_with({zip_test_entry("a.txt", "new")})));
  EXPECT_EQ(result.files_written, 1u);
  EXPECT_EQ(file("a.txt"), zip_test_bytes("new"));
}

TEST_F(InstallEntries, UnsafeNamesAreNamedAndNothingIsWrittenFromThemOn) {
  for (const char* bad : {"../escape.txt", "..\\escape.txt", "sub/../../escape.txt", "/abs.txt", "\\abs.txt",
                          "C:evil.txt", "ok.txt:stream", ".. /x.txt", ".\x80./escape.txt",
                          "\xC0\xAE\xC0\xAE/escape.txt", ".\xED\xA0\x80./escape.txt", ".", "./"}) {
    sandbox_reset(sandbox);
    const InstallLoopResult result = run(zip_build(installer_with(
        {zip_test_entry("first.txt", "1"), zip_test_entry(bad, "evil"), zip_test_entry("last.txt", "3")})));
    EXPECT_EQ(result.stop, INSTALL_STOP_CREATE_FAILED) << bad;
    EXPECT_EQ(result.files_written, 1u) << bad;
    EXPECT_EQ(std::string(entry_path.text), sandbox.destination + "\\" + bad);
    EXPECT_EQ(sandbox_destination_files(sandbox), std::vector<std::string>{"first.txt"}) << bad;
    EXPECT_TRUE(sandbox_outside_files(sandbox).empty()) << bad;
    EXPECT_EQ(sandbox.created.size(), 1u) << bad;  // the bad name never reached the file system
  }
}

TEST_F(InstallEntries, FolderEntriesAndMissingFoldersStopWithTheirPath) {
  for (const char* name : {"folder/", "folder/file.txt"}) {
    sandbox_reset(sandbox);
    const InstallLoopResult result = run(zip_build(installer_with({zip_test_entry(name, ""), zip_test_entry("b", "b")})));
    EXPECT_EQ(result.stop, INSTALL_STOP_CREATE_FAILED) << name;
    EXPECT_EQ(result.files_written, 0u);
    EXPECT_EQ(std::string(entry_path.text), sandbox.destination + "\\" + name);
    EXPECT_TRUE(sandbox_destination_files(sandbox).empty());
  }
}

TEST_F(InstallEntries, EntryPathLongerThanTheBufferIsNotCreated) {
  const std::string base = sandbox.destination;
  ASSERT_LT(base.size(), 200u);
  const std::string fits(254 - base.size(), 'f');  // base + "\" + name = 255 bytes
  const std::string too_long(255 - base.size(), 'g');
  InstallLoopResult result = run(zip_build(installer_with({zip_test_entry(fits, "fits")})));
  EXPECT_EQ(result.stop, INSTALL_STOP_WALK_ENDED);
  EXPECT_EQ(file(fits), zip_test_bytes("fits"));

  sandbox_reset(sandbox);
  result = run(zip_build(installer_with({zip_test_entry(too_long, "long"), zip_test_entry("z", "z")})));
  EXPECT_EQ(result.stop, INSTALL_STOP_CREATE_FAILED);
  EXPECT_EQ(entry_path.length, 255u);
  EXPECT_TRUE(sandbox.created.empty());
  EXPECT_TRUE(sandbox_destination_files(sandbox).empty());
}

TEST_F(InstallEntries, CrcMismatchStopsAndLeavesThePartialFile) {
  TestEntry broken = zip_test_entry("broken.txt", std::string(20000, 'q'), ZIP_METHOD_DEFLATE);
  broken.crc32 = zip_test_crc32(broken.data) ^ 1u;
  const InstallLoopResult result = run(zip_build(
      installer_with({zip_test_entry("a.txt", "a"), broken, zip_test_entry("c.txt", "c")})));
  EXPECT_EQ(result.stop, INSTALL_STOP_EXTRACT_FAILED);
  EXPECT_EQ(result.files_written, 1u);
  EXPECT_EQ(sandbox_destination_files(sandbox), (std::vector<std::string>{"a.txt", "broken.txt"}));
}

TEST_F(InstallEntries, ArchiveCutInsideDataStopsWithAReadFailure) {
  TestArchive archive = installer_with({zip_test_entry("a.txt", "alpha"),
                                        zip_test_entry("big.bin", zip_test_random_bytes(30000, 5), ZIP_METHOD_DEFLATE)});
  archive.central_directory = false;
  BuiltArchive built = zip_build(archive);
  built.bytes.resize(built.data_offsets[1] + 1000);
  const InstallLoopResult result = run(built);
  EXPECT_EQ(result.stop, INSTALL_STOP_EXTRACT_FAILED);
  EXPECT_EQ(file("a.txt"), zip_test_bytes("alpha"));
}

TEST_F(InstallEntries, GarbageBehindACompleteEntryEndsTheWalkSilently) {
  TestArchive archive = installer_with({zip_test_entry("a.txt", "alpha"), zip_test_entry("b.txt", "beta")});
  archive.central_directory = false;
  archive.trailer = zip_test_random_bytes(200, 9);
  const BuiltArchive built = zip_build(archive);
  const InstallLoopResult result = run(built);
  EXPECT_EQ(result.stop, INSTALL_STOP_WALK_ENDED);
  EXPECT_EQ(result.files_written, 2u);
  EXPECT_EQ(file("b.txt"), zip_test_bytes("beta"));
}

// Writes to regular files fail past a file-size limit: with SIGXFSZ ignored a write
// that would pass it returns EFBIG, as on a full disk. For as long as the object lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    active_ = getrlimit(RLIMIT_FSIZE, &previous_) == 0;
    const rlimit limit{bytes, previous_.rlim_max};
    active_ = active_ && setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    if (active_) setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
  }
  bool active() const { return active_; }

 private:
  rlimit previous_{};
  bool active_ = false;
  void (*previous_handler_)(int) = SIG_DFL;
};

// How the entry named "big.bin" gets its file: unbuffered, so that every fwrite is a
// write; with a buffer that holds the whole entry, so that every fwrite succeeds and
// only the flush in the final seek writes; or as a stream on /dev/null, which can be
// written and sought but not truncated. (glibc ignores the size given to setvbuf without
// a buffer, so the buffer is given.)
struct FailingFile {
  Sandbox* sandbox;
  int buffering;
  bool untruncatable;
  std::vector<char> buffer;
};

FILE* create_failing_file(void* context, const char* path) {
  const FailingFile& how = *static_cast<FailingFile*>(context);
  if (std::string(path).find("big.bin") == std::string::npos) {
    return sandbox_ops(*how.sandbox).create_file(how.sandbox, path);
  }
  FILE* file =
      how.untruncatable ? std::fopen("/dev/null", "wb") : sandbox_ops(*how.sandbox).create_file(how.sandbox, path);
  auto& buffer = static_cast<FailingFile*>(context)->buffer;
  if (file != nullptr) std::setvbuf(file, how.buffering == _IONBF ? nullptr : buffer.data(), how.buffering, buffer.size());
  return file;
}

int remove_failing_file(void* context, const char* path) {
  Sandbox* sandbox = static_cast<FailingFile*>(context)->sandbox;
  return sandbox_ops(*sandbox).remove_file(sandbox, path);
}

// A write that fails ends its entry as an extraction failure (message 3), whether it
// shows at once (a short fwrite), only when the final seek flushes the stream (the whole
// entry fitted the stream's buffer), or as a truncation that fails; the file stays as far
// as it got and nothing behind it is touched.
TEST_F(InstallEntries, AFailedWriteEndsItsEntryAsAnExtractionFailure) {
  const Bytes text = [] {
    Bytes t;
    while (t.size() < 200000) {
      const std::string line = "line " + std::to_string(t.size() % 977) + " of the sample\n";
      t.insert(t.end(), line.begin(), line.end());
    }
    return t;
  }();
  const struct {
    const char* what;
    TestEntry big;
    int buffering;
    bool untruncatable;
  } cases[] = {
      {"short write of stored data", zip_test_entry("big.bin", zip_test_random_bytes(40000, 3)), _IONBF, false},
      {"short write of decoded data", zip_test_entry("big.bin", text, ZIP_METHOD_DEFLATE), _IONBF, false},
      {"stored data failing in the final seek",
       zip_test_entry("big.bin", zip_test_random_bytes(20000, 4)), _IOFBF, false},
      {"decoded data failing in the final seek",
       zip_test_entry("big.bin", Bytes(text.begin(), text.begin() + 20000), ZIP_METHOD_DEFLATE), _IOFBF, false},
      {"truncation that fails", zip_test_entry("big.bin", "small"), _IOFBF, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sandbox_reset(sandbox);
    std::int32_t offset = -1;
    ZipReader* reader = zip_open(zip_test_stream(zip_build(installer_with(
        {zip_test_entry("a.txt", "alpha"), c.big, zip_test_entry("c.txt", "gamma")})).bytes), &offset);
    ASSERT_NE(reader, nullptr);
    FailingFile how{&sandbox, c.buffering, c.untruncatable, std::vector<char>(1 << 16)};
    InstallLoopResult result{};
    {
      const FileSizeLimit limit(10000);  // the input stream is already written
      if (!limit.active()) {
        zip_close(reader);
        GTEST_SKIP() << "no file-size limit can be set here";
      }
      result = install_entries(reader, sandbox.destination.c_str(),
                               EntryFileOps{&how, remove_failing_file, create_failing_file}, entry_path);
    }
    zip_close(reader);
    EXPECT_EQ(result.stop, INSTALL_STOP_EXTRACT_FAILED);
    EXPECT_EQ(result.files_written, 1u);
    EXPECT_EQ(file("a.txt"), zip_test_bytes("alpha"));
    const std::vector<std::string> expected =
        c.untruncatable ? std::vector<std::string>{"a.txt"} : std::vector<std::string>{"a.txt", "big.bin"};
    EXPECT_EQ(sandbox_destination_files(sandbox), expected);
    if (!c.untruncatable) {
      EXPECT_LE(file("big.bin").size(), 10000u);
    }
  }
}

TEST_F(InstallEntries, NoArchiveMeansNoReader) {
  TestArchive archive = installer_with({});
  archive.central_directory = false;
  bool opened = true;
  run(zip_build(archive), &opened);
  EXPECT_FALSE(opened);
  EXPECT_TRUE(sandbox_destination_files(sandbox).empty());
}

}  // namespace
