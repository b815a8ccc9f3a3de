// The vendor's mistakes on build's command line, each refused before any work with one
// line and nothing touched; and what a pipeline reads: the summary line, JSON reports,
// --strict, escaped names.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/zip_builder.h"
#include "tests/tools/stub_image.h"
#include "tests/tools/tool_runner.h"

namespace {

const std::string PACK = ORVINTA_PACK_PATH;

// What a path is: its kind and, for a file, its bytes; compared before and after a run.
struct Snapshot {
  bool exists;
  mode_t type;
  Bytes bytes;
  bool operator==(const Snapshot& other) const {
    return exists == other.exists && type == other.type && bytes == other.bytes;
  }
};

Snapshot snapshot(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return Snapshot{false, 0, {}};
  return Snapshot{true, info.st_mode & S_IFMT, S_ISREG(info.st_mode) ? zip_test_file_contents(path) : Bytes()};
}

class PackRefusals : public ::testing::Test {
 protected:
  ScratchFolder scratch;
  std::string stub, payload;

  void SetUp() override {
    ASSERT_FALSE(scratch.path.empty());
    stub = scratch / "stub.exe";
    ASSERT_TRUE(zip_test_write_file(stub, test_stub_image()));
    payload = scratch / "payload";
    ASSERT_EQ(mkdir(payload.c_str(), 0777), 0);
    ASSERT_TRUE(zip_test_write_file(payload + "/orvinta.exe", zip_test_random_bytes(3000, 1)));
    ASSERT_TRUE(zip_test_write_file(payload + "/readme.txt", zip_test_bytes(std::string(5000, 'r'))));
  }

  RunResult pack(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), PACK);
    return run_program(args, env);
  }

  // Runs build and expects exit 1 with one line naming the reason, and every path of
  // the scratch folder (and the given extra paths) exactly as before.
  void expect_refused(const std::vector<std::string>& args, const std::string& reason,
                      const std::vector<std::string>& extra = {}) {
    std::vector<std::string> watched = extra;
    for (const std::string& name : folder_names(scratch.path)) watched.push_back(scratch / name);
    for (const std::string& name : folder_names(payload)) watched.push_back(payload + "/" + name);
    std::vector<Snapshot> before;
    for (const std::string& path : watched) before.push_back(snapshot(path));
    const std::vector<std::string> names = folder_names(scratch.path);
    const RunResult result = pack(args);
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    for (std::size_t i = 0; i < watched.size(); ++i) EXPECT_TRUE(snapshot(watched[i]) == before[i]) << watched[i];
    EXPECT_EQ(folder_names(scratch.path), names) << "nothing created beside the output";
  }
};

TEST_F(PackRefusals, AnOutputThatIsAnInputUnderAnyNameOrNoFile) {
  const std::string link_to_stub = scratch / "link.exe";
  ASSERT_EQ(symlink(stub.c_str(), link_to_stub.c_str()), 0);
  const std::string hard_link = scratch / "hard.txt";
  ASSERT_EQ(link((payload + "/readme.txt").c_str(), hard_link.c_str()), 0);
  const std::string folder = scratch / "folder";
  ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
  const std::string fifo = scratch / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  const std::string socket_path = scratch / "socket";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string key = scratch / "key.pem";
  ASSERT_TRUE(zip_test_write_file(key, zip_test_bytes("not really a key")));
  const struct {
    std::string out;
    std::vector<std::string> extra;
    std::string reason;
  } cases[] = {
      {stub, {}, "is the stub"},
      {payload + "/readme.txt", {}, "is the packed file"},
      {link_to_stub, {}, "is the stub " + stub + " under another name"},
      {hard_link, {}, "under another name; building would replace it"},
      {scratch / "payload/../stub.exe", {}, "is the stub"},
      {payload + "/setup.exe", {}, "lies inside the folder " + payload + " that is being packed"},
      {folder, {}, "is a folder, not a regular file"},
      {fifo, {}, "is a FIFO, not a regular file"},
      {socket_path, {}, "is a socket, not a regular file"},
      {"/dev/null", {"/dev/null"}, "is a character device, not a regular file"},
      {key, {"--sign-cert", key, "--sign-key", key}, "is the signing certificate"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    std::vector<std::string> args = {"build", "--stub", stub, "--out", c.out};
    std::vector<std::string> watched;
    for (const std::string& option : c.extra) {
      if (option == "/dev/null") watched.push_back(option);
      else args.push_back(option);
    }
    args.push_back(payload);
    expect_refused(args, c.reason, watched);
  }
  close(listener);
  // As root, a device node of the scratch folder stays a device node.
  if (geteuid() == 0) {
    const std::string device = scratch / "device";
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    expect_refused({"build", "--stub", stub, "--out", device, payload}, "is a character device");
  }
}

TEST_F(PackRefusals, AStubThatCannotBeTheInstaller) {
  StubImageOptions x86_64;
  x86_64.pe32_plus = true;
  StubImageOptions other;
  other.description = "Orvinta";
  StubImageOptions far;
  far.pe_offset = 0x2000;
  const Bytes image = test_stub_image();
  Bytes outside = image;
  outside[0x3C + 3] = 0x40;  // e_lfanew 0x40000080, past the end
  const struct {
    const char* name;
    Bytes bytes;
    const char* reason;
  } cases[] = {
      {"linux", zip_test_file_contents("/bin/true"), "is a Linux ELF program, not an installer stub"},
      {"notes.txt", zip_test_bytes("release notes\n"), "is not a Windows program (no MZ header)"},
      {"win64.exe", test_stub_image(x86_64),
       "is a 64-bit Windows program; the x86-64 test build of the stub is accepted only with --x86-64-test-stub"},
      {"other.exe", test_stub_image(other), "is not the Orvinta installer stub"},
      {"cut.exe", Bytes(image.begin(), image.begin() + 300), "is cut short"},
      {"outside.exe", outside, "is damaged: its PE header offset 0x40000080 lies outside the file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratch / c.name;
    ASSERT_TRUE(zip_test_write_file(path, c.bytes));
    expect_refused({"build", "--stub", path, "--out", scratch / "setup.exe", payload}, std::string(path) + " " + c.reason);
  }
  // The x86-64 test build only with the option that names it; a header past 4 KiB as any other.
  EXPECT_EQ(pack({"build", "--x86-64-test-stub", "--stub", scratch / "win64.exe", "--out", scratch / "a.exe", payload})
                .exit_code,
            0);
  RunResult result = pack({"verify", scratch / "a.exe"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("accepted only with --x86-64-test-stub"), std::string::npos) << result.err;
  EXPECT_EQ(pack({"verify", "--x86-64-test-stub", scratch / "a.exe"}).exit_code, 0);
  ASSERT_TRUE(zip_test_write_file(scratch / "far.exe", test_stub_image(far)));
  EXPECT_EQ(pack({"build", "--stub", scratch / "far.exe", "--out", scratch / "b.exe", payload}).exit_code, 0);
  EXPECT_EQ(pack({"verify", scratch / "b.exe"}).exit_code, 0);
  // An installer built on something else fails verify, list and extract alike.
  Bytes foreign = test_stub_image(other);
  const Bytes good = zip_test_file_contents(scratch / "b.exe");
  foreign.insert(foreign.end(), good.begin() + static_cast<std::ptrdiff_t>(test_stub_image(far).size()), good.end());
  ASSERT_TRUE(zip_test_write_file(scratch / "foreign.exe", foreign));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"verify", scratch / "foreign.exe"}, {"list", scratch / "foreign.exe"},
        {"extract", scratch / "foreign.exe", scratch / "out"}}) {
    result = pack(args);
    EXPECT_EQ(result.exit_code, 1) << args[0];
    EXPECT_NE(result.err.find("is not the Orvinta installer stub"), std::string::npos) << result.err;
  }
  EXPECT_TRUE(folder_names(scratch / "out").empty()) << "extract writes nothing";
}

TEST_F(PackRefusals, StrictMakesWarningsFailuresAndAnEmptyPayloadIsNoInstaller) {
  const std::string lonely = scratch / "lonely";
  ASSERT_EQ(mkdir(lonely.c_str(), 0777), 0);
  expect_refused({"build", "--stub", stub, "--out", scratch / "setup.exe", lonely}, "no files to pack");
  ASSERT_TRUE(zip_test_write_file(lonely + "/app.dll", zip_test_bytes("code")));
  expect_refused({"build", "--strict", "--stub", stub, "--out", scratch / "setup.exe", lonely},
                 "no orvinta.exe among the files");
  const RunResult warned = pack({"build", "--stub", stub, "--out", scratch / "setup.exe", lonely});
  EXPECT_EQ(warned.exit_code, 0);
  EXPECT_NE(warned.err.find("warning: no orvinta.exe"), std::string::npos) << warned.err;
  EXPECT_EQ(pack({"verify", "--strict", scratch / "setup.exe"}).exit_code, 1);
}

TEST_F(PackRefusals, SummaryAndJsonReportsDescribeWhatWasBuiltAndFound) {
  ASSERT_TRUE(zip_test_write_file(payload + "/donn\xC3\xA9" "es.txt", zip_test_bytes("accents")));
  const std::string out = scratch / "setup.exe";
  RunResult result = pack({"build", "--json", "--stub", stub, "--out", out, payload});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // One summary line on stderr, with the output's SHA-256.
  const std::string digest = run_program({"sha256sum", out}).out.substr(0, 64);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_NE(result.err.find("built " + out + ": 3 entries"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("not signed, SHA-256 " + digest), std::string::npos) << result.err;
  const nlohmann::json built = nlohmann::json::parse(result.out, nullptr, false);
  ASSERT_FALSE(built.is_discarded()) << result.out;
  EXPECT_EQ(built["verdict"], "built");
  EXPECT_EQ(built["sha256"], digest);
  EXPECT_EQ(built["signed"], false);
  EXPECT_EQ(built["comment"], std::string("orvinta-pack ") + ORVINTA_VERSION + ", level 12");
  ASSERT_EQ(built["entries"].size(), 3u);
  EXPECT_EQ(built["entries"][0]["name"], "donn\xC3\xA9" "es.txt");
  EXPECT_EQ(built["entries"][0]["flags"], 0x800);
  EXPECT_EQ(built["entries"][0]["header_offset"], test_stub_image().size());

  for (const char* command : {"list", "verify"}) {
    SCOPED_TRACE(command);
    result = pack({command, "--json", out});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const nlohmann::json report = nlohmann::json::parse(result.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << result.out;
    EXPECT_EQ(report["command"], command);
    EXPECT_EQ(report["verdict"], std::string(command) == "list" ? "ok" : "intact");
    EXPECT_EQ(report["stub"]["kind"], "installer");
    EXPECT_EQ(report["signature"]["present"], false);
    EXPECT_TRUE(report["walk_end"]["clean"].get<bool>());
    EXPECT_EQ(report["walk_end"]["comment"], built["comment"]);
    ASSERT_EQ(report["entries"].size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      for (const char* field : {"name", "method", "compressed_size", "uncompressed_size", "crc32", "header_offset"}) {
        EXPECT_EQ(report["entries"][i][field], built["entries"][i][field]) << field;
      }
    }
  }
  // A damaged installer: the report says so, still one object.
  Bytes damaged = zip_test_file_contents(out);
  damaged.resize(damaged.size() - 30);
  ASSERT_TRUE(zip_test_write_file(scratch / "cut.exe", damaged));
  for (const char* command : {"list", "verify"}) {
    result = pack({command, "--json", scratch / "cut.exe"});
    EXPECT_EQ(result.exit_code, 1);
    const nlohmann::json report = nlohmann::json::parse(result.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << result.out;
    EXPECT_EQ(report["verdict"], std::string(command) == "list" ? "damaged" : "failed");
    EXPECT_FALSE(report["walk_end"]["clean"].get<bool>());
  }
}

TEST_F(PackRefusals, NamesThatAreNotUtf8AreShownEscaped) {
  TestArchive archive;
  archive.host = test_stub_image();
  archive.entries.push_back(zip_test_entry("bad\xFFname\xC3.txt", "data"));
  ASSERT_TRUE(zip_test_write_file(scratch / "odd.exe", zip_build(archive).bytes));
  RunResult result = pack({"list", scratch / "odd.exe"});
  EXPECT_NE(result.out.find("\"bad\\xFFname\\xC3.txt\""), std::string::npos) << result.out;
  result = pack({"verify", scratch / "odd.exe"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("\"bad\\xFFname\\xC3.txt\""), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("not valid UTF-8"), std::string::npos) << result.err;
  result = pack({"list", "--json", scratch / "odd.exe"});
  const nlohmann::json report = nlohmann::json::parse(result.out, nullptr, false);
  ASSERT_FALSE(report.is_discarded()) << result.out;
  EXPECT_EQ(report["entries"][0]["name_bytes"], "626164ff6e616d65c32e747874");
}

}  // namespace
