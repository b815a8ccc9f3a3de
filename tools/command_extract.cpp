// orvinta-pack extract: writes every entry into a folder, never outside it.

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
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
#include "tools/parallel_compress.h"
#include "tools/parallel_extract.h"
#include "tools/progress.h"
#include "tools/stub_identity.h"

const char* const USAGE_EXTRACT =
    "usage: orvinta-pack extract [--jobs N] [--x86-64-test-stub] SETUP.exe FOLDER\n"
    "\n"
    "Extracts the entries of SETUP.exe into FOLDER (created when missing), as the\n"
    "installer would. The program in front of the archive must be the installer stub.\n"
    "Names that are absolute, hold a drive or stream colon, a folder part or a \"..\"\n"
    "part are refused; nothing is written outside FOLDER.\n"
    "  --jobs N             decode N entries at a time (default: one per processor);\n"
    "                       the files, messages and exit code are the same for every N\n"
    "  --x86-64-test-stub   accept the x86-64 test build of the stub\n";

namespace {

struct ExtractTarget {
  int folder_fd;
  dev_t archive_device;
  ino_t archive_inode;
  std::vector<char> output_buffer;  // serves every entry's stream, one open at a time, each closed first
};

// Makes way for the entry's file: removes an existing file of that name (a symbolic or
// hard link is unlinked, never written through); refuses a name that would replace the
// archive being read or that a folder holds.
bool clear_entry_name(const ExtractTarget& target, const char* name, std::string* problem) {
  struct stat existing {};
  if (fstatat(target.folder_fd, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) return true;
  if (existing.st_dev == target.archive_device && existing.st_ino == target.archive_inode) {
    *problem = "writing it would replace the installer being read";
    return false;
  }
  if (S_ISDIR(existing.st_mode)) {
    *problem = "a folder of that name is in the way";
    return false;
  }
  if (unlinkat(target.folder_fd, name, 0) != 0) {
    *problem = std::string("cannot remove the existing file: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void set_entry_time(int fd, const ZipEntryInfo& info) {
  const std::time_t modified = dos_to_unix_local(DosDateTime{info.mod_time, info.mod_date});
  if (modified != -1) {
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    futimens(fd, times);  // best effort: the contents matter, the time is a courtesy
  }
}

// Opens a fresh file for the entry inside the folder. An existing file of that name is
// removed first (a symbolic or hard link is unlinked, never written through), and a
// name that would replace the archive being read is refused.
FILE* open_entry_output(ExtractTarget& target, const char* name, std::string* problem) {
  if (!clear_entry_name(target, name, problem)) return nullptr;
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

// Why the entry's name is refused, or empty: checked before anything is written for it.
std::string entry_name_refusal(const ZipEntryInfo& info) {
  if (info.name_length >= ZIP_NAME_CAPACITY) return "the name is longer than 255 bytes";
  const NameProblem problem = name_check_extract(info.name, info.name_length);
  if (problem != NameProblem::none) return std::string("refused: the name ") + name_problem_text(problem);
  return std::string();
}

// Copies length bytes from the start of the in-memory file source to output's descriptor.
bool copy_decoded(int source, std::uint64_t length, int output) {
  off_t offset = 0;
  while (static_cast<std::uint64_t>(offset) < length) {
    const std::uint64_t left = length - static_cast<std::uint64_t>(offset);
    const ssize_t sent = sendfile(output, source, &offset, left < (1u << 30) ? left : (1u << 30));
    if (sent > 0) continue;
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0) errno = EIO;  // the in-memory file cannot end early; treat it as a failed write
    return false;
  }
  return true;
}

// Extracts the walk's current entry, or, given decoded, writes what a worker decoded of
// it; an empty result means success. The name's checks come first and the file is made
// before the entry's own failure counts, as in the one-thread order.
std::string extract_entry(ArchiveWalk* walk, ExtractTarget& target, const DecodedEntry* decoded) {
  const ZipEntryInfo& info = walk->info;
  const std::string refusal = entry_name_refusal(info);
  if (!refusal.empty()) return refusal;
  std::string failure;
  // A worker's unnamed file in the folder gets the entry's name; should linking fail,
  // the bytes are copied into a file made as the one-thread extraction makes it.
  if (decoded != nullptr && decoded->problem.empty() && decoded->in_folder) {
    if (!clear_entry_name(target, info.name, &failure)) return failure;
    const std::string self = "/proc/self/fd/" + std::to_string(decoded->fd);
    if (linkat(AT_FDCWD, self.c_str(), target.folder_fd, info.name, AT_SYMLINK_FOLLOW) == 0) {
      set_entry_time(decoded->fd, info);
      return failure;
    }
  }
  FILE* output = open_entry_output(target, info.name, &failure);
  if (output == nullptr) return failure;
  if (decoded == nullptr) {
    if (entry_extract(walk, output, "the file", &failure) && std::fflush(output) != 0) {
      failure = std::string("cannot write the file: ") + std::strerror(errno);
    }
  } else if (!decoded->problem.empty()) {
    failure = decoded->problem;
  } else if (!copy_decoded(decoded->fd, decoded->length, fileno(output))) {
    failure = std::string("cannot write the file: ") + std::strerror(errno);
  }
  if (failure.empty()) set_entry_time(fileno(output), info);
  if (std::fclose(output) != 0 && failure.empty()) {
    failure = std::string("cannot write the file: ") + std::strerror(errno);
  }
  // A file that failed is removed: a damaged copy under the right name would mislead.
  if (!failure.empty()) unlinkat(target.folder_fd, info.name, 0);
  return failure;
}

const char* const DUPLICATE_NAME = "a second entry of that name; extracting it would overwrite the first";

void report_entry_failure(const char* path, const ArchiveWalk& entry, const std::string& problem,
                          Progress* progress) {
  progress_clear(progress);
  pack_error("%s: entry %" PRIu32 " %s (local header at offset %" PRId64 "): %s", path, entry.index + 1,
             name_for_display(entry.info.name, std::strlen(entry.info.name)).c_str(), entry.header_offset,
             problem.c_str());
}

// Decoded bytes the workers may hold at once, and the size above which an entry is not
// held at all but extracted straight into its file at its turn (by the calling thread).
constexpr std::uint64_t HELD_BYTES_MAX = 128u << 20;
constexpr std::uint64_t HELD_ENTRY_MAX = 32u << 20;

// The most bytes an entry's extraction can write: stored data is copied as it is,
// Deflate output is cut off at the header's size.
std::uint64_t entry_output_bound(const ZipEntryInfo& info) {
  return info.compressed_size > info.uncompressed_size ? info.compressed_size : info.uncompressed_size;
}

// An entry the walk has passed, waiting for its turn.
struct PendingEntry {
  ArchiveWalk entry;  // its header, offsets and index; reader unset
  bool duplicate;
  bool queued;        // handed to the workers
};

// The several-thread extraction: the walk runs ahead of the files, handing entries to
// the workers, at most a few per worker and HELD_BYTES_MAX of them ahead; the files are
// made strictly in archive order by this thread, as the one-thread loop makes them, and
// the first failure ends it (the workers' later results are dropped unwritten).
int extract_in_order(const char* path, ArchiveWalk* walk, ExtractTarget& target, DecodePool* pool,
                     std::uint32_t jobs, Progress* progress) {
  const std::size_t window = 4 * static_cast<std::size_t>(jobs);
  std::deque<PendingEntry> pending;
  std::set<std::string> written;
  std::uint64_t held = 0;
  std::uint64_t done_bytes = 0;
  bool more = true;  // the walk's current entry is not yet pending
  std::vector<char> input_buffer;
  for (;;) {
    while (more && pending.size() < window) {
      const std::uint64_t bound = entry_output_bound(walk->info);
      const bool held_whole = bound <= HELD_ENTRY_MAX;
      if (held_whole && !pending.empty() && held + bound > HELD_BYTES_MAX) break;
      PendingEntry next{*walk, !written.insert(walk->info.name).second, false};
      next.entry.reader = nullptr;
      next.entry.input_buffer = nullptr;
      next.queued = !next.duplicate && held_whole && entry_name_refusal(walk->info).empty();
      if (next.queued) {
        decode_pool_submit(pool, next.entry);
        held += bound;
      }
      pending.push_back(next);
      more = walk_next(walk);
    }
    if (pending.empty()) return PACK_EXIT_OK;
    PendingEntry current = pending.front();
    pending.pop_front();
    progress_step(progress, current.entry.index, done_bytes);
    done_bytes += current.entry.info.compressed_size;
    std::string problem;
    if (current.duplicate) {
      problem = DUPLICATE_NAME;
    } else if (current.queued) {
      DecodedEntry decoded = decode_pool_take(pool, current.entry.index);
      held -= entry_output_bound(current.entry.info);
      problem = extract_entry(&current.entry, target, &decoded);
      if (decoded.fd >= 0) close(decoded.fd);
    } else if (!(problem = entry_name_refusal(current.entry.info)).empty()) {
      // refused by its name: nothing to read
    } else {
      // Too large to hold: read it now, through a reader of its own, into its file.
      current.entry.reader = reader_open_at(path, target.archive_device, target.archive_inode,
                                            current.entry.header_offset, current.entry.info, &input_buffer,
                                            &problem);
      if (current.entry.reader != nullptr) {
        problem = extract_entry(&current.entry, target, nullptr);
        zip_close(current.entry.reader);
      }
    }
    if (!problem.empty()) {
      report_entry_failure(path, current.entry, problem, progress);
      return PACK_EXIT_FAILED;
    }
  }
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
  ExtractTarget target{-1, archive.st_dev, archive.st_ino, std::vector<char>(STREAM_BUFFER_SIZE)};
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
  const std::uint32_t jobs = options.jobs != 0 ? options.jobs : parallel_default_jobs();
  DecodePool* pool = nullptr;
  if (jobs > 1) pool = decode_pool_start(path, archive.st_dev, archive.st_ino, walk.file_size, target.folder_fd, jobs, &error);
  if (pool != nullptr) {
    result = extract_in_order(path, &walk, target, pool, jobs, &progress);
    decode_pool_stop(pool);
  } else {
    do {
      progress_step(&progress, walk.index, done_bytes);
      done_bytes += walk.info.compressed_size;
      std::string problem;
      if (!written.insert(walk.info.name).second) {
        problem = DUPLICATE_NAME;
      } else {
        problem = extract_entry(&walk, target, nullptr);
      }
      if (!problem.empty()) {
        report_entry_failure(path, walk, problem, &progress);
        result = PACK_EXIT_FAILED;
        break;
      }
    } while (walk_next(&walk));
  }
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
  for (int i = 0; i < argc;) {
    const std::string argument = argv[i];
    if (cli_is_help(argv[i])) return cli_help(USAGE_EXTRACT);
    std::string value;
    bool missing = false;
    if (cli_option(argc, argv, &i, "--jobs", &value, &missing)) {  // moves i past its value
      long long jobs = 0;
      if (missing || !cli_number(value, 1, PARALLEL_JOBS_MAX, &jobs)) {
        return cli_usage_error(USAGE_EXTRACT, "--jobs needs a number from 1 to " + std::to_string(PARALLEL_JOBS_MAX));
      }
      options.jobs = static_cast<std::uint32_t>(jobs);
      continue;
    }
    const char* operand = argv[i++];
    if (argument == STUB_TEST_OPTION) {
      options.allow_x86_64_test_stub = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return cli_usage_error(USAGE_EXTRACT, "unknown option " + argument);
    } else if (count == 2) {
      return cli_usage_error(USAGE_EXTRACT, "extract takes an installer file and a folder");
    } else {
      operands[count++] = operand;
    }
  }
  if (count != 2) return cli_usage_error(USAGE_EXTRACT, "extract takes an installer file and a folder");
  return extract_installer(operands[0], operands[1], options);
}
