// Packing on several cores: the same bytes as one file after the other for every number
// of jobs, the memory bound, the first failure in name order; and, driven as a user runs
// the tool, --jobs and the stub found beside the tool's own executable.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/zip_builder.h"
#include "tests/tools/stub_image.h"
#include "tests/tools/tool_runner.h"
#include "tools/archive_writer.h"
#include "tools/parallel_compress.h"

namespace {

const std::string PACK = ORVINTA_PACK_PATH;
constexpr DosDateTime SOME_TIME = {0x6000, 0x5A21};
// What a whole-file read may hold beyond the file's size.
constexpr std::uint64_t READ_SLACK = 65536;

Bytes text_bytes(std::size_t count, int seed) {
  Bytes data;
  for (std::size_t i = 0; data.size() < count; ++i) {
    const std::string line = "record " + std::to_string((i * 13 + seed) % 211) + " of a payload file\n";
    data.insert(data.end(), line.begin(), line.end());
  }
  data.resize(count);
  return data;
}

struct Payload {
  std::vector<PackSource> sources;
  std::vector<Bytes> contents;
};

// Files of assorted sizes and kinds: empty, one byte, incompressible, text, zeros.
Payload make_payload(const ScratchFolder& scratch) {
  Payload payload;
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"a-empty.dat", {}},
      {"b-one.bin", {0x5A}},
      {"c-noise.bin", zip_test_random_bytes(150000, 3)},
      {"d-text.txt", text_bytes(400000, 1)},
      {"e-zeros.bin", Bytes(90000, 0)},
      {"f-text.txt", text_bytes(120000, 2)},
      {"g-mixed.bin", zip_test_random_bytes(30000, 4)},
      {"h-text.txt", text_bytes(250000, 5)},
  };
  for (const auto& file : files) {
    const std::string path = scratch / file.first;
    EXPECT_TRUE(zip_test_write_file(path, file.second));
    payload.sources.push_back(PackSource{path, file.first, SOME_TIME});
    payload.contents.push_back(file.second);
  }
  return payload;
}

// The archive written by `fill` into a fresh file behind a small stub.
Bytes archive_of(const ScratchFolder& scratch, const std::function<bool(ArchiveWriter*)>& fill,
                 int level, std::string* error) {
  const std::string path = scratch / "archive.bin";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  const Bytes stub(100, 'S');
  EXPECT_EQ(write(fd, stub.data(), stub.size()), static_cast<ssize_t>(stub.size()));
  ArchiveWriter writer{};
  bool ok = writer_start(&writer, fd, stub.size(), level) && fill(&writer) && writer_finish(&writer, "");
  *error = writer.error;
  writer_release(&writer);
  close(fd);
  return ok ? zip_test_file_contents(path) : Bytes{};
}

TEST(ParallelPack, SameBytesAsOneFileAfterAnotherForEveryNumberOfJobs) {
  ScratchFolder scratch;
  const Payload payload = make_payload(scratch);
  std::uint64_t largest = 0;
  for (const Bytes& data : payload.contents) largest = std::max<std::uint64_t>(largest, data.size());
  std::uint32_t set_aside = 0;
  for (const int level : {0, 6, 12}) {
    std::string error;
    const Bytes sequential = archive_of(scratch, [&](ArchiveWriter* writer) {
      for (std::size_t i = 0; i < payload.sources.size(); ++i) {
        const Bytes& data = payload.contents[i];
        if (!writer_add(writer, payload.sources[i].name, SOME_TIME, data.data(), data.size())) return false;
      }
      return true;
    }, level, &error);
    ASSERT_FALSE(sequential.empty()) << error;
    for (const std::uint32_t jobs : {1u, 2u, 3u, 5u, 16u}) {
      ParallelStats stats{};
      const Bytes parallel = archive_of(scratch, [&](ArchiveWriter* writer) {
        Progress progress{};
        return parallel_pack(writer, level, payload.sources, jobs, scratch.path, &progress, &stats);
      }, 0, &error);
      EXPECT_EQ(parallel, sequential) << "level " << level << ", jobs " << jobs << ": " << error;
      EXPECT_EQ(stats.threads, std::min<std::uint32_t>(jobs, payload.sources.size()));
      // Each file in flight is its data (read whole) plus, while Deflate runs, an output
      // buffer one byte short of it: jobs of the largest files bound the peak.
      const std::uint64_t per_file = 2 * largest + READ_SLACK;
      EXPECT_GE(stats.peak_bytes, largest) << "jobs " << jobs;
      EXPECT_LE(stats.peak_bytes, std::min<std::uint64_t>(jobs, payload.sources.size()) * per_file)
          << "level " << level << ", jobs " << jobs;
      // One worker always finishes the entry that is due; with more, entries finished
      // ahead of their turn go through the scratch file.
      if (jobs == 1) {
        EXPECT_EQ(stats.set_aside, 0u);
      }
      set_aside += stats.set_aside;
    }
  }
  EXPECT_GT(set_aside, 0u);
  // The scratch file has no name: nothing is left beside the output.
  std::vector<std::string> names = {"archive.bin"};
  for (const PackSource& source : payload.sources) names.push_back(source.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(folder_names(scratch.path), names);
}

TEST(ParallelPack, TheFirstUnreadableFileInOrderIsReportedAndNothingBehindItWritten) {
  ScratchFolder scratch;
  Payload payload = make_payload(scratch);
  const std::string first_missing = payload.sources[3].path;
  ASSERT_EQ(unlink(first_missing.c_str()), 0);
  ASSERT_EQ(unlink(payload.sources[6].path.c_str()), 0);
  for (const std::uint32_t jobs : {1u, 2u, 4u, 8u}) {
    const std::string path = scratch / "out.bin";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ArchiveWriter writer{};
    ASSERT_TRUE(writer_start(&writer, fd, 0, 0));
    Progress progress{};
    ParallelStats stats{};
    EXPECT_FALSE(parallel_pack(&writer, 9, payload.sources, jobs, scratch.path, &progress, &stats));
    EXPECT_NE(writer.error.find(first_missing), std::string::npos) << "jobs " << jobs << ": " << writer.error;
    EXPECT_EQ(writer.entries.size(), 3u) << "jobs " << jobs;
    writer_release(&writer);
    close(fd);
  }
}

TEST(ParallelPack, NoFilesWriteNothing) {
  ArchiveWriter writer{};
  ASSERT_TRUE(writer_start(&writer, -1, 0, 0));
  Progress progress{};
  ParallelStats stats{};
  EXPECT_TRUE(parallel_pack(&writer, 12, {}, 4, "/nonexistent", &progress, &stats));
  EXPECT_TRUE(writer.entries.empty());
  EXPECT_EQ(stats.threads, 0u);
  EXPECT_GE(parallel_default_jobs(), 1u);
}

class PackTool : public ::testing::Test {
 protected:
  ScratchFolder scratch;

  RunResult pack(const std::string& tool, std::vector<std::string> args,
                 const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), tool);
    return run_program(args, env);
  }

  void put(const std::string& path, const Bytes& data) { ASSERT_TRUE(zip_test_write_file(path, data)); }

  std::string make_folder(const std::string& name) {
    const std::string path = scratch / name;
    EXPECT_EQ(mkdir(path.c_str(), 0777), 0) << path;
    return path;
  }

  bool starts_with(const Bytes& file, const Bytes& prefix) {
    return file.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), file.begin());
  }
};

TEST_F(PackTool, JobsDoNotChangeTheInstaller) {
  const std::string stub = scratch / "stub.exe";
  put(stub, test_stub_image());
  const std::string in = make_folder("in");
  for (int i = 0; i < 11; ++i) {
    put(in + "/file-" + std::to_string(i) + ".txt", text_bytes(20000 + 7919 * i, i));
  }
  put(in + "/orvinta.exe", zip_test_random_bytes(5000, 9));
  const std::vector<std::string> epoch = {"SOURCE_DATE_EPOCH=1700000000"};
  Bytes first;
  for (const char* jobs : {"1", "3", "2", "8"}) {
    const std::string out = scratch / (std::string("jobs-") + jobs + ".exe");
    const RunResult result = pack(PACK, {"build", "--jobs", jobs, "--stub", stub, "--out", out, in}, epoch);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const Bytes installer = zip_test_file_contents(out);
    if (first.empty()) first = installer;
    EXPECT_EQ(installer, first) << "--jobs " << jobs;
  }
  const RunResult by_default = pack(PACK, {"build", "--stub", stub, "--out", scratch / "default.exe", in}, epoch);
  ASSERT_EQ(by_default.exit_code, 0) << by_default.err;
  EXPECT_EQ(zip_test_file_contents(scratch / "default.exe"), first);

  for (const char* wrong : {"0", "257", "two", ""}) {
    const RunResult result = pack(PACK, {"build", std::string("--jobs=") + wrong, "--stub", stub, "--out",
                                         scratch / "never.exe", in});
    EXPECT_EQ(result.exit_code, 2) << wrong;
    EXPECT_NE(result.err.find("--jobs needs a number from 1 to 256"), std::string::npos) << result.err;
  }
  EXPECT_EQ(access((scratch / "never.exe").c_str(), F_OK), -1);
}

// A copy of the tool in <scratch>/bin finds its stub at the installed place relative to
// that folder, also when started through a link from elsewhere.
TEST_F(PackTool, WithoutStubTheStubInstalledBesideTheToolIsPacked) {
  const std::string bin = make_folder("bin");
  const std::string tool = bin + "/orvinta-pack";
  put(tool, zip_test_file_contents(PACK));
  ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
  // The tool names the place by its resolved path.
  const std::string relative = scratch / ("bin/" ORVINTA_STUB_FROM_TOOL);
  const std::size_t slash = relative.rfind('/');
  ASSERT_EQ(run_program({"mkdir", "-p", relative.substr(0, slash)}).exit_code, 0);
  char* resolved = realpath(relative.substr(0, slash).c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  const std::string installed = resolved + relative.substr(slash);
  std::free(resolved);
  const Bytes installed_stub = test_stub_image();
  put(installed, installed_stub);
  const std::string other = scratch / "other-stub.exe";
  StubImageOptions other_options;
  other_options.product = "Orvinta Installer 1.1.0 (another build)";
  const Bytes other_stub = test_stub_image(other_options);
  put(other, other_stub);
  const std::string in = make_folder("in");
  put(in + "/orvinta.exe", text_bytes(3000, 1));
  const std::string link_folder = make_folder("elsewhere");
  ASSERT_EQ(symlink(tool.c_str(), (link_folder + "/orvinta-pack").c_str()), 0);

  const struct {
    std::string tool;
    std::vector<std::string> stub_option;
    const Bytes* expected_stub;
  } cases[] = {
      {tool, {}, &installed_stub},
      {link_folder + "/orvinta-pack", {}, &installed_stub},
      {tool, {"--stub", other}, &other_stub},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string out = scratch / ("setup-" + std::to_string(n++) + ".exe");
    std::vector<std::string> args = {"build", "--out", out};
    args.insert(args.end(), c.stub_option.begin(), c.stub_option.end());
    args.push_back(in);
    const RunResult result = pack(c.tool, args);
    ASSERT_EQ(result.exit_code, 0) << c.tool << ": " << result.err;
    const Bytes installer = zip_test_file_contents(out);
    EXPECT_TRUE(starts_with(installer, *c.expected_stub)) << c.tool;
    EXPECT_GT(installer.size(), c.expected_stub->size());
  }

  // No stub installed: one line naming where it was looked for, and nothing written.
  ASSERT_EQ(unlink(installed.c_str()), 0);
  const RunResult missing = pack(tool, {"build", "--out", scratch / "none.exe", in});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
  EXPECT_NE(missing.err.find(installed), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("--stub"), std::string::npos) << missing.err;
  EXPECT_EQ(access((scratch / "none.exe").c_str(), F_OK), -1);
  // --stub still works without an installed one.
  EXPECT_EQ(pack(tool, {"build", "--stub", other, "--out", scratch / "given.exe", in}).exit_code, 0);
}

}  // namespace
