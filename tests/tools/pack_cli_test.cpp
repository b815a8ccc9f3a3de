// orvinta-pack driven as its users drive it: build, list, verify and extract installers,
// and every refusal, checked against the installer's reader and against Info-ZIP unzip.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include <nlohmann/json.hpp>

#include "tests/support/zip_builder.h"
#include "tests/tools/stub_image.h"
#include "tests/tools/tool_runner.h"

namespace {

const std::string PACK = ORVINTA_PACK_PATH;
const Bytes STUB = test_stub_image();
const std::size_t STUB_SIZE = STUB.size();
constexpr const char* WINE_DLLS = "/usr/lib/i386-linux-gnu/wine/i386-windows";

Bytes text_bytes(std::size_t count, int seed) {
  Bytes data;
  for (std::size_t i = 0; data.size() < count; ++i) {
    const std::string line = "entry " + std::to_string((i * 7 + seed) % 131) + ": some text\n";
    data.insert(data.end(), line.begin(), line.end());
  }
  data.resize(count);
  return data;
}

struct EntryAt {
  ZipEntryInfo info;
  std::int64_t header_offset;
  std::int64_t data_offset;
};

// The entries as the installer's scan and walk find them.
std::vector<EntryAt> walk_entries(const Bytes& file) {
  std::vector<EntryAt> entries;
  std::int32_t offset = -1;
  ZipReader* reader = zip_open(zip_test_stream(file), &offset);
  if (reader == nullptr) return entries;
  std::int64_t header = offset;
  ZipEntryInfo info{};
  while (zip_get_info(reader, &info) == 0) {
    const std::int64_t data = header + ZIP_LOCAL_HEADER_SIZE + info.name_length + info.extra_length;
    entries.push_back(EntryAt{info, header, data});
    header = data + info.compressed_size;
    if (zip_next(reader) != 0) break;
  }
  zip_close(reader);
  return entries;
}

const EntryAt* find_entry(const std::vector<EntryAt>& entries, const std::string& name) {
  for (const EntryAt& entry : entries) {
    if (name == entry.info.name) return &entry;
  }
  return nullptr;
}

// True when /dev/shm is a folder with at least the given room: the tests that write close
// to 2 GiB use it, and container setups often give it only a few megabytes.
bool ram_folder_has_room(unsigned long long bytes) {
  struct statvfs space {};
  if (statvfs("/dev/shm", &space) != 0) return false;
  return static_cast<unsigned long long>(space.f_bavail) * space.f_frsize >= bytes;
}

constexpr unsigned long long ROOM_FOR_TWO_GIB = 0x90000000ULL;

class PackCli : public ::testing::Test {
 protected:
  ScratchFolder scratch;
  std::string stub;

  void SetUp() override {
    ASSERT_FALSE(scratch.path.empty());
    stub = scratch / "stub.exe";
    ASSERT_TRUE(zip_test_write_file(stub, STUB));
  }

  RunResult pack(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), PACK);
    return run_program(args, env);
  }

  RunResult build(const std::string& out, const std::vector<std::string>& inputs,
                  const std::vector<std::string>& extra = {},
                  const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = {"build", "--stub", stub, "--out", out};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), inputs.begin(), inputs.end());
    return pack(args, env);
  }

  std::string make_folder(const std::string& name) {
    const std::string path = scratch / name;
    mkdir(path.c_str(), 0777);
    return path;
  }

  void put(const std::string& path, const Bytes& data) { ASSERT_TRUE(zip_test_write_file(path, data)); }

  // A folder holding the assorted set of the round trip; returns its files by name.
  std::vector<std::pair<std::string, Bytes>> assorted(const std::string& folder) {
    std::vector<std::pair<std::string, Bytes>> files = {
        {"empty.dat", {}},
        {"one.bin", {0x5A}},
        {"noise-8192.bin", zip_test_random_bytes(8192, 2)},
        {"noise-8193.bin", zip_test_random_bytes(8193, 3)},
        {"readme.txt", text_bytes(300000, 1)},
        {"zeros.bin", Bytes(100000, 0)},
        {"donn\xC3\xA9" "es.txt", text_bytes(5000, 2)},
        {"orvinta.exe", text_bytes(40000, 3)},
    };
    for (const char* dll : {"kernel32.dll", "user32.dll"}) {
      const Bytes data = zip_test_file_contents(std::string(WINE_DLLS) + "/" + dll);
      if (!data.empty()) files.push_back({dll, data});
    }
    for (const auto& file : files) put(folder + "/" + file.first, file.second);
    return files;
  }
};

TEST_F(PackCli, RoundTripGivesIdenticalFilesAtEveryLevel) {
  const std::string in = make_folder("in");
  const auto files = assorted(in);
  for (const char* level : {"12", "6", "1", "0"}) {
    SCOPED_TRACE(level);
    const std::string setup = scratch / (std::string("setup-") + level + ".exe");
    const RunResult built = build(setup, {in}, {"--level", level});
    ASSERT_EQ(built.exit_code, 0) << built.err;
    // No progress when stderr is no terminal, no warning (orvinta.exe is there): the summary alone.
    EXPECT_EQ(built.err.rfind("orvinta-pack: built " + setup + ": " + std::to_string(files.size()) + " entries", 0), 0u)
        << built.err;
    EXPECT_EQ(std::count(built.err.begin(), built.err.end(), '\n'), 1) << built.err;

    const Bytes file = zip_test_file_contents(setup);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + STUB_SIZE,
                           zip_test_file_contents(stub).begin()));
    const std::vector<EntryAt> entries = walk_entries(file);
    ASSERT_EQ(entries.size(), files.size());
    EXPECT_EQ(entries[0].header_offset, static_cast<std::int64_t>(STUB_SIZE));
    for (std::size_t i = 1; i < entries.size(); ++i) {
      EXPECT_LT(std::strcmp(entries[i - 1].info.name, entries[i].info.name), 0);  // bytewise order
    }
    bool any_deflate = false;
    for (const EntryAt& entry : entries) {
      EXPECT_EQ(entry.info.version_needed, 20);
      // Bit 11 (UTF-8 name) on the one name that is not ASCII, nothing else.
      EXPECT_EQ(entry.info.flags, std::string(entry.info.name).find('\xC3') == std::string::npos ? 0 : 0x800)
          << entry.info.name;
      any_deflate = any_deflate || entry.info.method == ZIP_METHOD_DEFLATE;
    }
    EXPECT_EQ(any_deflate, std::string(level) != "0");

    const RunResult verified = pack({"verify", setup});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    const RunResult listed = pack({"list", setup});
    EXPECT_EQ(listed.exit_code, 0) << listed.err;
    EXPECT_NE(listed.out.find("\"readme.txt\""), std::string::npos);
    EXPECT_NE(listed.out.find(std::to_string(files.size()) + " entries"), std::string::npos);
    for (const EntryAt& entry : entries) {
      char row[64];
      std::snprintf(row, sizeof row, "%10lld  %-8s", static_cast<long long>(entry.header_offset),
                    entry.info.method == ZIP_METHOD_DEFLATE ? "deflate" : "stored");
      EXPECT_NE(listed.out.find(std::string(row)), std::string::npos) << row << "\n" << listed.out;
    }

    const std::string out = scratch / (std::string("out-") + level);
    const RunResult extracted = pack({"extract", setup, out});
    ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
    EXPECT_EQ(folder_names(out).size(), files.size());
    for (const auto& f : files) {
      EXPECT_EQ(zip_test_file_contents(out + "/" + f.first), f.second) << f.first;
    }
  }
}

TEST_F(PackCli, UnzipAcceptsTheUnscrambledArchive) {
  const std::string in = make_folder("in");
  const auto files = assorted(in);
  const std::string setup = scratch / "setup.exe";
  ASSERT_EQ(build(setup, {in}).exit_code, 0);
  Bytes file = zip_test_file_contents(setup);
  zip_test_scramble(file, STUB_SIZE, file.size());
  const std::string plain = scratch / "plain.zip";
  put(plain, Bytes(file.begin() + STUB_SIZE, file.end()));

  const RunResult tested = run_program({"unzip", "-t", plain});
  EXPECT_EQ(tested.exit_code, 0) << tested.out << tested.err;
  EXPECT_NE(tested.out.find("No errors detected"), std::string::npos) << tested.out;
  // The archive comment says how it was made; unzip shows it, and the name marked UTF-8.
  EXPECT_EQ(run_program({"unzip", "-z", plain}).out.find(std::string("orvinta-pack ") + ORVINTA_VERSION + ", level 12") != std::string::npos, true);
  EXPECT_NE(run_program({"unzip", "-l", plain}, {"LC_ALL=C.UTF-8"}).out.find("donn\xC3\xA9" "es.txt"),
            std::string::npos);
  // unzip decodes the compressed entries independently of the installer's decoder.
  const RunResult piped = run_program({"unzip", "-p", plain, "readme.txt"});
  EXPECT_EQ(piped.out, std::string(files[4].second.begin(), files[4].second.end()));
}

TEST_F(PackCli, SourceDateEpochMakesTheOutputReproducible) {
  const std::string in = make_folder("in");
  assorted(in);
  const std::string a = scratch / "a.exe";
  const std::string b = scratch / "b.exe";
  const std::vector<std::string> epoch = {"SOURCE_DATE_EPOCH=1700000000"};
  ASSERT_EQ(build(a, {in}, {}, epoch).exit_code, 0);
  const timespec other[2] = {{1500000000, 0}, {1500000000, 0}};
  utimensat(AT_FDCWD, (in + "/readme.txt").c_str(), other, 0);
  ASSERT_EQ(build(b, {in}, {}, epoch).exit_code, 0);
  EXPECT_EQ(zip_test_file_contents(a), zip_test_file_contents(b));
  for (const EntryAt& entry : walk_entries(zip_test_file_contents(a))) {
    EXPECT_EQ(entry.info.mod_date, ((2023 - 1980) << 9) | (11 << 5) | 14) << entry.info.name;
    EXPECT_EQ(entry.info.mod_time, (22 << 11) | (13 << 5) | 10) << entry.info.name;
  }
  // Extraction gives the files that time back (DOS times are read as local time).
  const RunResult extracted = pack({"extract", a, scratch / "out"}, {"TZ=UTC"});
  ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
  struct stat info {};
  ASSERT_EQ(stat((scratch / "out/readme.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, 1700000000);
  // Without it each entry carries its file's own time.
  const std::string c = scratch / "c.exe";
  ASSERT_EQ(build(c, {in}, {}, {"SOURCE_DATE_EPOCH="}).exit_code, 0);
  EXPECT_NE(zip_test_file_contents(a), zip_test_file_contents(c));
  const RunResult bad = build(scratch / "d.exe", {in}, {}, {"SOURCE_DATE_EPOCH=yesterday"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << bad.err;
  EXPECT_FALSE(zip_test_file_contents(scratch / "d.exe").size() > 0);
}

TEST_F(PackCli, RefusesWhatTheInstallerCannotInstall) {
  const Bytes built_before = text_bytes(100, 9);
  struct Case {
    const char* what;
    std::vector<std::string> names;  // files to create, one folder per name
    const char* message;
  };
  const Case cases[] = {
      {"backslash", {"dir\\app.dll"}, "folder part"},
      {"colon", {"app.dll:stream"}, "\":\""},
      {"control character", {"bell\x07.txt"}, "control character"},
      {"reserved character", {"what?.txt"}, "Windows does not allow"},
      {"device name", {"nul.txt"}, "device name"},
      {"trailing dot", {"readme."}, "ends in a dot"},
      {"letter case", {"App.dll", "app.DLL"}, "differ only in letter case"},
      {"same name", {"app.dll", "app.dll"}, "two files are named"},
      {"too long", {std::string(191, 'n')}, "190 bytes"},
  };
  int folder_number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> inputs;
    for (const std::string& name : c.names) {
      const std::string folder = make_folder("case" + std::to_string(folder_number++));
      put(folder + "/" + name, text_bytes(1000, 1));
      inputs.push_back(folder);
    }
    const std::string out_folder = make_folder("out" + std::to_string(folder_number));
    const std::string setup = out_folder + "/setup.exe";
    put(setup, built_before);
    const RunResult result = build(setup, inputs);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    // The earlier installer stays as it was and no temporary file is left beside it.
    EXPECT_EQ(zip_test_file_contents(setup), built_before);
    EXPECT_EQ(folder_names(out_folder), std::vector<std::string>{"setup.exe"});
  }
}

TEST_F(PackCli, RefusesNestedFoldersHugeFilesAndMissingInputs) {
  const std::string in = make_folder("in");
  put(in + "/orvinta.exe", text_bytes(100, 1));
  make_folder("in/sub");
  put(in + "/sub/inner.dll", text_bytes(100, 2));
  RunResult result = build(scratch / "a.exe", {in});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("only flat folders"), std::string::npos) << result.err;

  const std::string huge = scratch / "huge.bin";  // sparse: costs no disk space
  put(huge, {});
  ASSERT_EQ(truncate(huge.c_str(), 0x80000000LL), 0);
  result = build(scratch / "b.exe", {scratch / "in/orvinta.exe", huge});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("2 GiB or larger"), std::string::npos) << result.err;
  // One byte less passes the size check (the run then stops at the unwritable output).
  ASSERT_EQ(truncate(huge.c_str(), 0x7FFFFFFFLL), 0);
  result = pack({"build", "--stub", stub, "--out", "/nonexistent/b.exe", huge});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err.find("2 GiB or larger"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("/nonexistent/b.exe"), std::string::npos) << result.err;

  result = build(scratch / "c.exe", {scratch / "missing.dll"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("missing.dll"), std::string::npos) << result.err;
  for (const char* name : {"a.exe", "b.exe", "c.exe"}) {
    EXPECT_TRUE(zip_test_file_contents(scratch / name).empty()) << name;
  }
}

TEST_F(PackCli, RefusesStubsTheScanWouldStopIn) {
  const std::string in = make_folder("in");
  put(in + "/orvinta.exe", text_bytes(3000, 1));
  const std::string first = scratch / "first.exe";
  ASSERT_EQ(build(first, {in}).exit_code, 0);

  RunResult result = pack({"build", "--stub", first, "--out", scratch / "second.exe", in});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("already carries an archive"), std::string::npos) << result.err;

  // The scrambled signature alone, with no header that parses behind it, behind the image.
  Bytes odd = STUB;
  odd.resize(STUB.size() + 2000, 0);
  Bytes pattern(std::begin(ZIP_SCAN_PATTERN), std::end(ZIP_SCAN_PATTERN));
  pattern.resize(ZIP_LOCAL_HEADER_SIZE, 0);  // name length 0
  zip_test_scramble(pattern, 0, pattern.size());
  std::copy(pattern.begin(), pattern.end(), odd.begin() + STUB.size() + 700);
  put(scratch / "odd.exe", odd);
  result = pack({"build", "--stub", scratch / "odd.exe", "--out", scratch / "third.exe", in});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("offset " + std::to_string(STUB.size() + 700)), std::string::npos) << result.err;

  const std::string big_stub = scratch / "big-stub.exe";  // sparse
  put(big_stub, STUB);
  ASSERT_EQ(truncate(big_stub.c_str(), 0x80000000LL), 0);
  result = pack({"build", "--stub", big_stub, "--out", scratch / "fourth.exe", in});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("2 GiB"), std::string::npos) << result.err;
  EXPECT_EQ(folder_names(scratch.path),
            (std::vector<std::string>{"big-stub.exe", "first.exe", "in", "odd.exe", "stub.exe"}));
}

TEST_F(PackCli, AnArchiveEndingPastTwoGibibytesLeavesNothingBehind) {
  // Writes close to 2 GiB: only where a RAM-backed folder makes that quick.
  if (!ram_folder_has_room(ROOM_FOR_TWO_GIB)) GTEST_SKIP() << "/dev/shm is missing or small";
  ScratchFolder ram("/dev/shm");
  ASSERT_FALSE(ram.path.empty());
  const std::string big_stub = ram / "stub.exe";
  put(big_stub, STUB);
  ASSERT_EQ(truncate(big_stub.c_str(), 0x7FFFFFFFLL - 5000), 0);
  put(ram / "orvinta.exe", zip_test_random_bytes(10000, 8));
  const RunResult result =
      pack({"build", "--stub", big_stub, "--out", ram / "setup.exe", ram / "orvinta.exe"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("past 2 GiB"), std::string::npos) << result.err;
  EXPECT_EQ(folder_names(ram.path), (std::vector<std::string>{"orvinta.exe", "stub.exe"}));
}

TEST_F(PackCli, AnInterruptedBuildLeavesNothingBehind) {
  if (!ram_folder_has_room(ROOM_FOR_TWO_GIB)) GTEST_SKIP() << "/dev/shm is missing or small";
  ScratchFolder ram("/dev/shm");
  ASSERT_FALSE(ram.path.empty());
  // A large (sparse) stub keeps the build busy copying long enough to be interrupted.
  const std::string big_stub = ram / "stub.exe";
  put(big_stub, STUB);
  ASSERT_EQ(truncate(big_stub.c_str(), 0x70000000LL), 0);
  put(ram / "orvinta.exe", text_bytes(1000, 1));
  const std::string out = ram / "setup.exe";
  put(out, zip_test_bytes("the earlier installer"));
  const pid_t child = fork();
  if (child == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDERR_FILENO);
    execl(PACK.c_str(), PACK.c_str(), "build", "--stub", big_stub.c_str(), "--out", out.c_str(),
          (ram / "orvinta.exe").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  bool saw_temporary = false;
  for (int wait_ms = 0; wait_ms < 20000 && !saw_temporary; wait_ms += 2) {
    for (const std::string& name : folder_names(ram.path)) {
      saw_temporary = saw_temporary || name.rfind(".setup.exe.", 0) == 0;
    }
    if (!saw_temporary) usleep(2000);
  }
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(saw_temporary);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(folder_names(ram.path), (std::vector<std::string>{"orvinta.exe", "setup.exe", "stub.exe"}));
  EXPECT_EQ(zip_test_file_contents(out), zip_test_bytes("the earlier installer"));
}

TEST_F(PackCli, WarnsOnlyWhenNoProgramWouldBeStarted) {
  const std::string in = make_folder("in");
  put(in + "/app.dll", text_bytes(100, 1));
  RunResult result = build(scratch / "a.exe", {in});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.err.find("warning: no orvinta.exe"), std::string::npos) << result.err;
  EXPECT_FALSE(walk_entries(zip_test_file_contents(scratch / "a.exe")).empty());
  result = pack({"verify", scratch / "a.exe"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.err.find("no orvinta.exe"), std::string::npos) << result.err;

  put(in + "/ORVINTA.EXE", text_bytes(100, 2));
  result = build(scratch / "b.exe", {in});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err.find("warning"), std::string::npos) << result.err;
}

class PackVerify : public PackCli {
 protected:
  std::string setup;
  Bytes file;
  std::vector<EntryAt> entries;

  void SetUp() override {
    PackCli::SetUp();
    const std::string in = make_folder("in");
    put(in + "/noise.bin", zip_test_random_bytes(30000, 4));  // stays stored
    put(in + "/orvinta.exe", text_bytes(200000, 5));          // deflated
    put(in + "/tail.txt", text_bytes(3000, 6));
    setup = scratch / "setup.exe";
    ASSERT_EQ(build(setup, {in}).exit_code, 0);
    file = zip_test_file_contents(setup);
    entries = walk_entries(file);
    ASSERT_EQ(entries.size(), 3u);
  }

  RunResult verify_damaged(const Bytes& damaged) {
    const std::string path = scratch / "damaged.exe";
    put(path, damaged);
    return pack({"verify", path});
  }
};

TEST_F(PackVerify, CatchesAFlippedByteInStoredData) {
  const EntryAt* noise = find_entry(entries, "noise.bin");
  ASSERT_NE(noise, nullptr);
  ASSERT_EQ(noise->info.method, ZIP_METHOD_STORED);
  Bytes damaged = file;
  damaged[noise->data_offset + 12345] ^= 0x01;
  const RunResult result = verify_damaged(damaged);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("\"noise.bin\""), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("offset " + std::to_string(noise->header_offset)), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("CRC-32 mismatch in stored data"), std::string::npos) << result.err;
}

TEST_F(PackVerify, CatchesAFlippedByteInDeflatedData) {
  const EntryAt* program = find_entry(entries, "orvinta.exe");
  ASSERT_NE(program, nullptr);
  ASSERT_EQ(program->info.method, ZIP_METHOD_DEFLATE);
  for (std::uint32_t where : {std::uint32_t{0}, program->info.compressed_size / 2,
                              program->info.compressed_size - 1}) {
    SCOPED_TRACE(where);
    Bytes damaged = file;
    // Bit 0 is the first bit read from a byte, so it is never padding behind the last block.
    damaged[program->data_offset + where] ^= 0x01;
    const RunResult result = verify_damaged(damaged);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("\"orvinta.exe\""), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("offset " + std::to_string(program->header_offset)), std::string::npos)
        << result.err;
  }
  // Extraction stops at the same entry and leaves no damaged file behind.
  Bytes damaged = file;
  damaged[program->data_offset + program->info.compressed_size / 2] ^= 0x01;
  put(scratch / "damaged.exe", damaged);
  const RunResult extracted = pack({"extract", scratch / "damaged.exe", scratch / "out"});
  EXPECT_EQ(extracted.exit_code, 1);
  EXPECT_EQ(folder_names(scratch / "out"), std::vector<std::string>{"noise.bin"});
}

TEST_F(PackVerify, ReportsACutArchiveADamagedHeaderAndAMissingArchive) {
  const EntryAt& last = entries[2];
  Bytes cut(file.begin(), file.begin() + last.data_offset + 10);
  RunResult result = verify_damaged(cut);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("cut short"), std::string::npos) << result.err;

  // A header that no longer parses hides the entries behind it from the installer.
  Bytes damaged = file;
  damaged[last.header_offset + 26] = ZIP_KEY;  // name length 0 once unscrambled
  damaged[last.header_offset + 27] = ZIP_KEY;
  result = verify_damaged(damaged);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("local header at offset " + std::to_string(last.header_offset)),
            std::string::npos) << result.err;
  // list shows the entries it finds, and its exit code says the installer is damaged.
  RunResult listed = pack({"list", scratch / "damaged.exe"});
  EXPECT_EQ(listed.exit_code, 1);
  EXPECT_NE(listed.out.find("2 entries"), std::string::npos) << listed.out;
  EXPECT_NE(listed.err.find("does not parse"), std::string::npos) << listed.err;
  // A truncated installer: inside the last entry, inside the central directory, and
  // the end record's last byte.
  for (std::size_t size : {static_cast<std::size_t>(last.data_offset + 10), file.size() - 100, file.size() - 1}) {
    SCOPED_TRACE(size);
    put(scratch / "cut.exe", Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)));
    listed = pack({"list", scratch / "cut.exe"});
    EXPECT_EQ(listed.exit_code, 1) << listed.out;
    EXPECT_NE(listed.err.find("cut short"), std::string::npos) << listed.err;
  }

  result = pack({"verify", stub});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("no archive"), std::string::npos) << result.err;
}

// Raw Deflate of exactly length bytes (at least 12) whose last block ends on a byte
// boundary: a stored block of content, then an empty final block, fixed Huffman (two
// bytes, six of their bits padding) or stored (five bytes).
Bytes deflate_of_length(std::size_t length, bool fixed_end, Bytes* content) {
  const std::size_t stored = length - 5 - (fixed_end ? 2 : 5);
  *content = zip_test_random_bytes(stored, static_cast<std::uint32_t>(length));
  Bytes stream = {0x00, static_cast<std::uint8_t>(stored), static_cast<std::uint8_t>(stored >> 8),
                  static_cast<std::uint8_t>(~stored), static_cast<std::uint8_t>(~stored >> 8)};
  stream.insert(stream.end(), content->begin(), content->end());
  const Bytes end = fixed_end ? Bytes{0x03, 0x00} : Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF};
  stream.insert(stream.end(), end.begin(), end.end());
  return stream;
}

// The installer reads entry data in 8192-byte pieces, and its decoder sees bytes behind
// the final block only in the piece that ends it; verify finds them wherever they begin.
TEST_F(PackCli, VerifyFindsBytesBehindTheFinalBlockWhereverTheyBegin) {
  const struct {
    std::size_t stream_length;
    std::size_t extra;
    bool fixed_end;
    const char* problem;  // nullptr: intact
  } cases[] = {
      {8192, 3, false, "goes on after its final block"},   // exactly at a piece boundary
      {8192, 8192, true, "goes on after its final block"},
      {16384, 1, true, "goes on after its final block"},
      {8191, 3, false, "bytes left over"},                  // one byte before the boundary
      {8190, 2, true, "bytes left over"},                   // up to the boundary
      {5000, 10, true, "bytes left over"},                  // inside a piece
      {4096, 1, false, "bytes left over"},                  // where the second reading's boundary lies
      {8192, 0, false, nullptr},
      {4096, 0, true, nullptr},
      {12288, 0, true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.stream_length) + " + " + std::to_string(c.extra));
    Bytes content;
    Bytes payload = deflate_of_length(c.stream_length, c.fixed_end, &content);
    ASSERT_EQ(payload.size(), c.stream_length);
    payload.resize(payload.size() + c.extra, 0x5A);
    TestArchive archive;
    archive.host = STUB;
    TestEntry entry = zip_test_entry("orvinta.exe", content, ZIP_METHOD_DEFLATE);
    entry.payload = payload;
    archive.entries.push_back(entry);
    put(scratch / "riding.exe", zip_build(archive).bytes);
    const RunResult result = pack({"verify", scratch / "riding.exe"});
    if (c.problem == nullptr) {
      EXPECT_EQ(result.exit_code, 0) << result.err;
    } else {
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_NE(result.err.find("\"orvinta.exe\""), std::string::npos) << result.err;
      EXPECT_NE(result.err.find(c.problem), std::string::npos) << result.err;
    }
  }
}

// A full disk: writes fail past a file-size limit (SIGXFSZ ignored, so a write fails with
// EFBIG instead of killing the program), for a stored and for a Deflate entry.
TEST_F(PackCli, WriteFailuresAreReportedWithTheSystemsReason) {
  const std::string limited = "trap '' XFSZ; ulimit -f 64 && exec \"$@\"";  // 64 KiB
  const auto run_limited = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"bash", "-c", limited, "bash", PACK});
    return run_program(args);
  };
  for (const bool deflated : {false, true}) {
    SCOPED_TRACE(deflated ? "deflate" : "stored");
    const std::string in = make_folder(deflated ? "in-deflate" : "in-stored");
    put(in + "/big.bin", deflated ? text_bytes(300000, 1) : zip_test_random_bytes(300000, 7));
    put(in + "/orvinta.exe", text_bytes(2000, 2));
    const std::string setup = scratch / (deflated ? "deflate.exe" : "stored.exe");
    ASSERT_EQ(build(setup, {in}).exit_code, 0);

    const std::string out = scratch / (deflated ? "out-deflate" : "out-stored");
    RunResult result = run_limited({"extract", setup, out});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("\"big.bin\""), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("cannot write the file: File too large"), std::string::npos) << result.err;
    EXPECT_TRUE(folder_names(out).empty());  // the failed file is removed, the walk stops there

    result = run_limited({"verify", setup});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("cannot write the extracted data to a temporary file: File too large"),
              std::string::npos) << result.err;
  }
  // build, with the output past the limit, leaves nothing behind.
  const std::string in = make_folder("in-build");
  put(in + "/noise.bin", zip_test_random_bytes(100000, 9));
  const std::string out_folder = make_folder("out-build");
  const RunResult result =
      run_limited({"build", "--stub", stub, "--out", out_folder + "/setup.exe", in});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("cannot write " + out_folder + "/setup.exe: File too large"), std::string::npos)
      << result.err;
  EXPECT_TRUE(folder_names(out_folder).empty());
}

// Archives made elsewhere may carry names that would escape the target folder.
TEST_F(PackCli, ExtractRefusesNamesThatLeaveTheFolder) {
  const std::string outside = scratch / "escaped.txt";
  const std::string names[] = {"../escaped.txt", "..\\escaped.txt", outside, "C:escaped.txt",
                               "safe.txt:stream", "sub/escaped.txt"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    TestArchive archive;
    archive.host = STUB;
    archive.entries.push_back(zip_test_entry("first.txt", "harmless"));
    archive.entries.push_back(zip_test_entry(name, "escaped"));
    put(scratch / "hostile.exe", zip_build(archive).bytes);
    const std::string out = scratch / "out";
    const RunResult result = pack({"extract", scratch / "hostile.exe", out});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("refused"), std::string::npos) << result.err;
    EXPECT_TRUE(zip_test_file_contents(outside).empty());
    EXPECT_EQ(folder_names(out), std::vector<std::string>{"first.txt"});
  }
  EXPECT_EQ(folder_names(scratch.path), (std::vector<std::string>{"hostile.exe", "out", "stub.exe"}));
}

TEST_F(PackCli, ExtractNeverWritesThroughLinksOrOverTheInstaller) {
  const std::string in = make_folder("in");
  put(in + "/orvinta.exe", text_bytes(5000, 1));
  put(in + "/setup.exe", text_bytes(100, 2));
  const std::string out = make_folder("out");
  const std::string setup = out + "/setup.exe";
  ASSERT_EQ(build(setup, {in}).exit_code, 0);
  const Bytes installer = zip_test_file_contents(setup);

  const std::string victim = scratch / "victim.txt";
  put(victim, text_bytes(10, 3));
  ASSERT_EQ(symlink(victim.c_str(), (out + "/orvinta.exe").c_str()), 0);
  const RunResult result = pack({"extract", setup, out});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("replace the installer"), std::string::npos) << result.err;
  EXPECT_EQ(zip_test_file_contents(setup), installer);
  EXPECT_EQ(zip_test_file_contents(victim), text_bytes(10, 3));
  struct stat info {};
  ASSERT_EQ(lstat((out + "/orvinta.exe").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(zip_test_file_contents(out + "/orvinta.exe"), text_bytes(5000, 1));
}

TEST_F(PackCli, ExtractCreatesTheFolderAndRefusesDuplicateNames) {
  TestArchive archive;
  archive.host = STUB;
  archive.entries.push_back(zip_test_entry("orvinta.exe", "first"));
  archive.entries.push_back(zip_test_entry("orvinta.exe", "second"));
  put(scratch / "twice.exe", zip_build(archive).bytes);
  const std::string out = scratch / "a/b/c";
  const RunResult result = pack({"extract", scratch / "twice.exe", out});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("second entry of that name"), std::string::npos) << result.err;
  EXPECT_EQ(zip_test_file_contents(out + "/orvinta.exe"), zip_test_bytes("first"));
}

// What a folder holds after an extraction: every name with its bytes, folders marked.
std::vector<std::pair<std::string, Bytes>> folder_state(const std::string& folder) {
  std::vector<std::pair<std::string, Bytes>> state;
  for (const std::string& name : folder_names(folder)) {
    struct stat info {};
    const std::string path = folder + "/" + name;
    if (lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      state.push_back({name + "/", {}});
    } else {
      state.push_back({name, zip_test_file_contents(path)});
    }
  }
  return state;
}

// Decoding on several threads changes nothing a user sees: on intact and damaged
// installers --jobs 4 leaves the same files, prints the same messages and exits as
// --jobs 1 does, and the entry named is the first bad one in archive order.
TEST_F(PackCli, ExtractGivesTheSameResultsForEveryJobCount) {
  const std::string in = make_folder("in");
  for (int i = 0; i < 9; ++i) put(in + "/0" + std::to_string(i) + ".bin", text_bytes(60000 + 7000 * i, i));
  put(in + "/orvinta.exe", zip_test_random_bytes(20000, 11));  // stored
  const std::string setup = scratch / "setup.exe";
  ASSERT_EQ(build(setup, {in}).exit_code, 0);
  const Bytes file = zip_test_file_contents(setup);
  const std::vector<EntryAt> entries = walk_entries(file);
  ASSERT_EQ(entries.size(), 10u);
  const auto data_byte = [&](std::size_t entry) {
    return static_cast<std::size_t>(entries[entry].data_offset + entries[entry].info.compressed_size / 2);
  };
  const struct {
    const char* name;
    std::vector<std::size_t> flipped;  // file offsets whose byte is changed
    std::size_t cut_to;                // 0: not cut
    const char* in_the_way;            // a folder of that name in the destination, or nullptr
    const char* expected;              // in the message; nullptr: intact
  } cases[] = {
      {"intact", {}, 0, nullptr, nullptr},
      {"deflate data damaged", {data_byte(5)}, 0, nullptr, "entry 6 \"05.bin\""},
      {"two damaged, the first counts", {data_byte(7), data_byte(2)}, 0, nullptr, "entry 3 \"02.bin\""},
      {"header unparsable", {static_cast<std::size_t>(entries[6].header_offset)}, 0, nullptr, "after entry 6"},
      {"cut in an entry", {}, data_byte(8), nullptr, "entry 9 \"08.bin\""},
      {"folder in the way", {}, 0, "04.bin", "a folder of that name is in the way"},
      {"damage behind a folder in the way", {data_byte(6)}, 0, "03.bin", "entry 4 \"03.bin\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes damaged = file;
    for (const std::size_t at : c.flipped) damaged[at] ^= 0x01;
    if (c.cut_to != 0) damaged.resize(c.cut_to);
    const std::string path = scratch / "case.exe";
    put(path, damaged);
    RunResult results[2];
    std::vector<std::pair<std::string, Bytes>> states[2];
    const char* jobs[2] = {"1", "4"};
    for (int run = 0; run < 2; ++run) {
      // An earlier file of a later entry's name, which a stop before that entry keeps.
      const std::string out = make_folder(std::string("out-") + jobs[run]);
      put(out + "/07.bin", text_bytes(10, 99));
      if (c.in_the_way != nullptr) mkdir((out + "/" + c.in_the_way).c_str(), 0777);
      results[run] = pack({"extract", "--jobs", jobs[run], path, out});
      states[run] = folder_state(out);
      ASSERT_EQ(std::system(("rm -rf '" + out + "'").c_str()), 0);
    }
    EXPECT_EQ(results[0].exit_code, c.expected == nullptr ? 0 : 1) << results[0].err;
    EXPECT_EQ(results[1].exit_code, results[0].exit_code);
    EXPECT_EQ(results[1].err, results[0].err);
    EXPECT_EQ(states[1], states[0]);
    if (c.expected != nullptr) {
      EXPECT_NE(results[0].err.find(c.expected), std::string::npos) << results[0].err;
    } else {
      EXPECT_EQ(states[0].size(), entries.size());
    }
  }
  EXPECT_EQ(pack({"extract", "--jobs", "0", setup, scratch / "x"}).exit_code, 2);
}

TEST_F(PackCli, HelpAndCommandLineMistakes) {
  for (const char* command : {"build", "list", "verify", "extract"}) {
    const RunResult help = pack({command, "--help"});
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: orvinta-pack ") + command, 0), 0u) << help.out;
  }
  EXPECT_EQ(pack({"--help"}).exit_code, 0);
  const RunResult version = pack({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind(std::string("orvinta-pack ") + ORVINTA_VERSION + " (compresses with libdeflate 1.", 0), 0u) << version.out;
  const struct {
    std::vector<std::string> args;
    const char* message;
  } mistakes[] = {
      {{}, "no command"},
      {{"pack"}, "unknown command pack"},
      {{"build", "--stub", "", "--out", "x.exe", "file"}, "--stub needs"},
      {{"build", "--stub", "s.exe", "--out", "x.exe", "--jobs", "0", "f"}, "1 to 256"},
      {{"build", "--stub", "s.exe", "file"}, "--out is required"},
      {{"build", "--stub", "s.exe", "--out", "x.exe"}, "no files"},
      {{"build", "--stub", "s.exe", "--out", "x.exe", "--level", "13", "f"}, "0 to 12"},
      {{"build", "--stub", "s.exe", "--out", "x.exe", "--level=-1", "f"}, "0 to 12"},
      {{"build", "--stub"}, "--stub needs"},
      {{"build", "--fast", "f"}, "unknown option --fast"},
      {{"list"}, "one installer"},
      {{"verify", "a", "b"}, "one installer"},
      {{"extract", "a"}, "a folder"},
      {{"extract", "--json", "a", "b"}, "unknown option --json"},
      {{"extract", "--jobs", "257", "a", "b"}, "1 to 256"},
      {{"extract", "a", "b", "--jobs"}, "--jobs needs"},
      {{"list", "--x", "a"}, "unknown option --x"},
      {{"build", "--stub", "s", "--out", "x", "--sign-pkcs12", "p", "--sign-cert", "c", "--sign-key", "k", "f"},
       "--sign-pkcs12 holds the certificate and the key"},
      {{"build", "--stub", "s", "--out", "x", "--sign-pkcs12", "p", "--sign-pass-env", "A", "--sign-pass-file", "B",
        "f"},
       "choose one"},
      {{"build", "--stub", "s", "--out", "x", "--sign-pass-env", "A", "f"}, "a passphrase option needs"},
  };
  for (const auto& mistake : mistakes) {
    const RunResult result = pack(mistake.args);
    EXPECT_EQ(result.exit_code, 2) << mistake.message;
    EXPECT_NE(result.err.find(mistake.message), std::string::npos) << result.err;
  }
}

}  // namespace
