// orvinta-pack extract: writes every entry into a folder, never outside it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tools/archive_walk.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/dos_time.h"
#include "tools/entry_check.h"
#include "tools/file_util.h"
#include "tools/name_rules.h"
#include "tools/pack_message.h"
#include "tools/pack_status.h"
#include "tools/progress.h"
#include "tools/stub_identity.h"

const char* const USAGE_EXTRACT =
    "usage: orvinta-pack extract [--x86-64-test-stub] SETUP.exe FOLDER\n"
    "\n"
    "Extracts the entries of SETUP.exe into FOLDER (created when missing), as the\n"
    "installer would. The program in front of the archive must be the installer stub.\n"
    "Names that are absolute, hold a drive or stream colon, a folder part or a \"..\"\n"
    "part are refused; nothing is written outside FOLDER.\n"
    "  --x86-64-test-stub   accept the x86-64 test build of the stub\n";

namespace {

// Output streams get a large buffer: the reader hands over data in runs of up to 32 KiB,
// which a buffer of this size gathers into few large writes. glibc takes the size only
// with a buffer of the caller's; one serves every entry, since one file is open at a time.
constexpr std::size_t OUTPUT_BUFFER = 1 << 18;

struct ExtractTarget {
  int folder_fd;
  dev_t archive_device;
  ino_t archive_inode;
  std::vector<char> output_buffer;  // outlives every stream given it: each is closed first
};

// Opens a fresh file for the entry inside the folder. An existing file of that name is
// removed first (a symbolic or hard link is unlinked, never written through), and a
// name that would replace the archive being read is refused.
FILE* open_entry_output(ExtractTarget& target, const char* name, std::string* problem) {
  struct stat existing {};
  if (fstatat(target.folder_fd, name, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    if (existing.st_dev == target.archive_device && existing.st_ino == target.archive_inode) {
      *problem = "writing it would replace the installer being read";
      return nullptr;
    }
    if (S_ISDIR(existing.st_mode)) {
      *problem = "a folder of that name is in the way";
      return nullptr;
    }
    if (unlinkat(target.folder_fd, name, 0) != 0) {
      *problem = std::string("cannot remove the existing file: ") + std::strerror(errno);
      return nullptr;
    }
  }
  // Readable too, so that a failure can be diagnosed from what was written.
  const int fd = openat(target.folder_fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    *problem = std::string("cannot create the file: ") + std::strerror(errno);
    return nullptr;
  }
  FILE* output = fdopen(fd, "w+b");
  if (output == nullptr) {
    *problem = std::string("cannot create the file: ") + std::strerror(errno);
    close(fd);
    unlinkat(target.folder_fd, name, 0);
    return nullptr;
  }
  std::setvbuf(output, target.output_buffer.data(), _IOFBF, target.output_buffer.size());
  return output;
}

// Extracts the current entry; an empty result means success.
std::string extract_entry(ArchiveWalk* walk, ExtractTarget& target) {
  const ZipEntryInfo& info = walk->info;
  if (info.name_length >= ZIP_NAME_CAPACITY) return "the name is longer than 255 bytes";
  const NameProblem problem = name_check_extract(info.name, info.name_length);
  if (problem != NameProblem::none) return std::string("refused: the name ") + name_problem_text(problem);
  std::string failure;
  FILE* output = open_entry_output(target, info.name, &failure);
  if (output == nullptr) return failure;
  if (entry_extract(walk, output, "the file", &failure) && std::fflush(output) != 0) {
    failure = std::string("cannot write the file: ") + std::strerror(errno);
  }
  if (failure.empty()) {
    const std::time_t modified = dos_to_unix_local(DosDateTime{info.mod_time, info.mod_date});
    if (modified != -1) {
      const timespec times[2] = {{modified, 0}, {modified, 0}};
      futimens(fileno(output), times);  // best effort: the contents matter, the time is a courtesy
    }
  }
  if (std::fclose(output) != 0 && failure.empty()) {
    failure = std::string("cannot write the file: ") + std::strerror(errno);
  }
  // A file that failed is removed: a damaged copy under the right name would mislead.
  if (!failure.empty()) unlinkat(target.folder_fd, info.name, 0);
  return failure;
}

}  // namespace

int extract_installer(const char* path, const char* folder, const InspectOptions& options) {
  struct stat archive {};
  if (stat(path, &archive) != 0) {
    pack_error("%s", io_error("cannot open", path).c_str());
    return PACK_EXIT_FAILED;
  }
  StubInfo stub{};
  std::string stub_error;
  if (!stub_identify_file(path, &stub, &stub_error) ||
      !(stub_error = stub_problem(path, stub, options.allow_x86_64_test_stub)).empty()) {
    pack_error("%s", stub_error.c_str());
    return PACK_EXIT_FAILED;
  }
  ArchiveWalk walk{};
  std::string error;
  if (!walk_open(&walk, path, &error)) {
    pack_error("%s", error.c_str());
    return PACK_EXIT_FAILED;
  }
  ExtractTarget target{-1, archive.st_dev, archive.st_ino, std::vector<char>(OUTPUT_BUFFER)};
  if (!folder_create_all(folder, &error) ||
      (target.folder_fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
    pack_error("%s", error.empty() ? io_error("cannot open folder", folder).c_str() : error.c_str());
    walk_close(&walk);
    return PACK_EXIT_FAILED;
  }
  std::uint32_t total_entries = 0;
  std::uint64_t total_bytes = 0;
  if (progress_wanted()) entry_totals(path, &total_entries, &total_bytes);
  Progress progress{};
  progress_start(&progress, "extracting", total_entries, total_bytes);
  std::set<std::string> written;
  int result = PACK_EXIT_OK;
  std::uint64_t done_bytes = 0;
  do {
    progress_step(&progress, walk.index, done_bytes);
    done_bytes += walk.info.compressed_size;
    std::string problem;
    if (!written.insert(walk.info.name).second) {
      problem = "a second entry of that name; extracting it would overwrite the first";
    } else {
      problem = extract_entry(&walk, target);
    }
    if (!problem.empty()) {
      progress_clear(&progress);
      pack_error("%s: entry %" PRIu32 " %s (local header at offset %" PRId64 "): %s", path,
                 walk.index + 1,
                 name_for_display(walk.info.name, std::strlen(walk.info.name)).c_str(),
                 walk.header_offset, problem.c_str());
      result = PACK_EXIT_FAILED;
      break;
    }
  } while (walk_next(&walk));
  progress_clear(&progress);
  walk_close(&walk);
  close(target.folder_fd);
  if (result == PACK_EXIT_OK) {
    const std::int64_t limit =
        stub.image.certificate.present ? static_cast<std::int64_t>(stub.image.certificate.offset) : walk.file_size;
    const ArchiveEnd end = archive_end_check(path, walk.end_offset, walk.file_size, limit, walk.index + 1);
    if (!end.problem.empty()) {
      pack_error("%s: after entry %" PRIu32 ": %s", path, walk.index + 1, end.problem.c_str());
      result = PACK_EXIT_FAILED;
    }
  }
  return result;
}

int command_extract(int argc, char** argv) {
  InspectOptions options{};
  const char* operands[2] = {nullptr, nullptr};
  int count = 0;
  for (int i = 0; i < argc; ++i) {
    const std::string argument = argv[i];
    if (cli_is_help(argv[i])) return cli_help(USAGE_EXTRACT);
    if (argument == STUB_TEST_OPTION) {
      options.allow_x86_64_test_stub = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return cli_usage_error(USAGE_EXTRACT, "unknown option " + argument);
    } else if (count == 2) {
      return cli_usage_error(USAGE_EXTRACT, "extract takes an installer file and a folder");
    } else {
      operands[count++] = argv[i];
    }
  }
  if (count != 2) return cli_usage_error(USAGE_EXTRACT, "extract takes an installer file and a folder");
  return extract_installer(operands[0], operands[1], options);
}
