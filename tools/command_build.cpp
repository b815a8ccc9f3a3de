// orvinta-pack build: a stub followed by the scrambled archive of the given files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "archive/zip_reader.h"
#include "tools/archive_walk.h"
#include "tools/archive_writer.h"
#include "tools/cli.h"
#include "tools/code_signing.h"
#include "tools/commands.h"
#include "tools/entry_check.h"
#include "tools/file_util.h"
#include "tools/name_rules.h"
#include "tools/pack_message.h"
#include "tools/pack_status.h"
#include "tools/parallel_compress.h"
#include "tools/pe_certificate.h"
#include "tools/progress.h"
#include "tools/stub_location.h"
#include "tools/zip_central.h"

const char* const USAGE_BUILD =
    "usage: orvinta-pack build --out SETUP.exe [--stub STUB.exe] [--level N] [--jobs N]\n"
    "                          [--sign-cert CERT --sign-key KEY [--timestamp-url URL]]\n"
    "                          FILE_OR_FOLDER...\n"
    "\n"
    "Writes SETUP.exe: a copy of STUB.exe followed by the scrambled archive of the files.\n"
    "A folder contributes the files in it; it must not hold folders of its own.\n"
    "  --stub STUB.exe  the installer program without a payload (default: the stub\n"
    "                   installed with this tool)\n"
    "  --out SETUP.exe  the installer to write (replaced only once it is complete)\n"
    "  --level N        Deflate level 0-12: 0 stores every file, 12 (the default)\n"
    "                   compresses best; files Deflate cannot shrink are stored\n"
    "  --jobs N         compress N files at a time (default: one per processor); the\n"
    "                   installer is the same for every N\n"
    "  --sign-cert CERT  sign the finished installer (Authenticode, with osslsigncode)\n"
    "  --sign-key KEY    with this certificate and its unencrypted private key; the\n"
    "                    signature comes last and covers the archive\n"
    "  --timestamp-url URL  have the signature time-stamped by this RFC 3161 server\n"
    "Entries are ordered by name. SOURCE_DATE_EPOCH, when set, gives every entry's time\n"
    "and the signing time.\n";

namespace {

constexpr int LEVEL_DEFAULT = 12;
constexpr int LEVEL_HIGHEST = 12;
constexpr std::size_t STUB_COPY_BLOCK = 1 << 20;

struct BuildOptions {
  std::string stub;
  std::string out;
  int level;
  std::uint32_t jobs;
  SignOptions sign;
  std::vector<std::string> inputs;
};

struct PackFile {
  std::string path;
  std::string name;
  std::time_t modified;
};

// Returns -1 when the options are complete, else the exit code to end with.
int parse_options(int argc, char** argv, BuildOptions* options) {
  options->level = LEVEL_DEFAULT;
  options->jobs = parallel_default_jobs();
  bool options_done = false;
  for (int i = 0; i < argc;) {
    const char* argument = argv[i];
    if (options_done || argument[0] != '-' || argument[1] == '\0') {
      options->inputs.push_back(argument);
      ++i;
      continue;
    }
    if (cli_is_help(argument)) return cli_help(USAGE_BUILD);
    if (std::string(argument) == "--") {
      options_done = true;
      ++i;
      continue;
    }
    std::string value;
    bool missing = false;
    if (cli_option(argc, argv, &i, "--stub", &value, &missing)) {
      if (missing || value.empty()) return cli_usage_error(USAGE_BUILD, "--stub needs a file");
      options->stub = value;
    } else if (cli_option(argc, argv, &i, "--out", &value, &missing)) {
      if (missing) return cli_usage_error(USAGE_BUILD, "--out needs a file");
      options->out = value;
    } else if (cli_option(argc, argv, &i, "--level", &value, &missing)) {
      long long level = 0;
      if (missing || !cli_number(value, 0, LEVEL_HIGHEST, &level)) {
        return cli_usage_error(USAGE_BUILD, "--level needs a number from 0 to 12");
      }
      options->level = static_cast<int>(level);
    } else if (cli_option(argc, argv, &i, "--jobs", &value, &missing)) {
      long long jobs = 0;
      if (missing || !cli_number(value, 1, PARALLEL_JOBS_MAX, &jobs)) {
        return cli_usage_error(USAGE_BUILD, "--jobs needs a number from 1 to " + std::to_string(PARALLEL_JOBS_MAX));
      }
      options->jobs = static_cast<std::uint32_t>(jobs);
    } else if (cli_option(argc, argv, &i, "--sign-cert", &value, &missing)) {
      if (missing || value.empty()) return cli_usage_error(USAGE_BUILD, "--sign-cert needs a file");
      options->sign.certificate = value;
    } else if (cli_option(argc, argv, &i, "--sign-key", &value, &missing)) {
      if (missing || value.empty()) return cli_usage_error(USAGE_BUILD, "--sign-key needs a file");
      options->sign.key = value;
    } else if (cli_option(argc, argv, &i, "--timestamp-url", &value, &missing)) {
      if (missing || value.empty()) return cli_usage_error(USAGE_BUILD, "--timestamp-url needs a URL");
      options->sign.timestamp_url = value;
    } else {
      return cli_usage_error(USAGE_BUILD, std::string("unknown option ") + argument);
    }
  }
  if (options->out.empty()) return cli_usage_error(USAGE_BUILD, "--out is required");
  if (options->inputs.empty()) return cli_usage_error(USAGE_BUILD, "no files to pack");
  if (options->sign.certificate.empty() != options->sign.key.empty()) {
    return cli_usage_error(USAGE_BUILD, "--sign-cert and --sign-key go together");
  }
  if (!options->sign.timestamp_url.empty() && options->sign.certificate.empty()) {
    return cli_usage_error(USAGE_BUILD, "--timestamp-url needs --sign-cert and --sign-key");
  }
  return -1;
}

bool add_file(const std::string& path, const std::string& name, const struct stat& info,
              std::vector<PackFile>* files) {
  if (!S_ISREG(info.st_mode)) {
    pack_error("%s is neither a file nor a folder", path.c_str());
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) > ZIP_MAX_ENTRY_SIZE) {
    pack_error("%s is 2 GiB or larger; the installer's archive cannot hold it", path.c_str());
    return false;
  }
  files->push_back(PackFile{path, name, info.st_mtime});
  return true;
}

// Expands the arguments into files; a folder gives its files, and a folder inside it is
// refused since the installer would have to create it.
bool collect_files(const std::vector<std::string>& inputs, std::vector<PackFile>* files) {
  bool ok = true;
  for (const std::string& input : inputs) {
    struct stat info {};
    if (stat(input.c_str(), &info) != 0) {
      pack_error("%s", io_error("cannot read", input).c_str());
      ok = false;
      continue;
    }
    if (!S_ISDIR(info.st_mode)) {
      ok = add_file(input, path_base_name(input), info, files) && ok;
      continue;
    }
    std::vector<std::string> names;
    std::string error;
    if (!folder_list(input.c_str(), &names, &error)) {
      pack_error("%s", error.c_str());
      ok = false;
      continue;
    }
    for (const std::string& name : names) {
      const std::string path = path_join(input, name);
      struct stat item {};
      if (stat(path.c_str(), &item) != 0) {
        pack_error("%s", io_error("cannot read", path).c_str());
        ok = false;
      } else if (S_ISDIR(item.st_mode)) {
        pack_error("%s is a folder inside %s: the installer installs plain files only, "
                   "so only flat folders can be packed", path.c_str(), input.c_str());
        ok = false;
      } else {
        ok = add_file(path, name, item, files) && ok;
      }
    }
  }
  return ok;
}

// Name rules, then the same name twice or in two letter cases. Sorts the files by name.
bool check_names(std::vector<PackFile>* files) {
  bool ok = true;
  for (const PackFile& file : *files) {
    const NameProblem problem = name_check_install(file.name.data(), file.name.size());
    if (problem != NameProblem::none) {
      pack_error("the name %s of %s %s", name_for_display(file.name).c_str(), file.path.c_str(),
                 name_problem_text(problem));
      ok = false;
    }
  }
  std::stable_sort(files->begin(), files->end(),
                   [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  std::map<std::string, const PackFile*> folded;
  for (const PackFile& file : *files) {
    const auto inserted = folded.emplace(name_fold_case(file.name.data(), file.name.size()), &file);
    if (inserted.second) continue;
    const PackFile& earlier = *inserted.first->second;
    if (earlier.name == file.name) {
      pack_error("two files are named %s (%s and %s)", name_for_display(file.name).c_str(),
                 earlier.path.c_str(), file.path.c_str());
    } else {
      pack_error("%s and %s differ only in letter case; Windows would keep one file for both",
                 name_for_display(earlier.name).c_str(), name_for_display(file.name).c_str());
    }
    ok = false;
  }
  if (files->size() > ZIP_MAX_ENTRIES) {
    pack_error("%zu files: the archive holds at most %" PRIu32, files->size(), ZIP_MAX_ENTRIES);
    ok = false;
  }
  return ok;
}

// A signed stub would lose its signature's validity: the archive would land behind the
// certificate table, outside what the signature covers, and Windows takes the table to be
// last. The finished installer is what gets signed. A file that is no PE image at all is
// left to the installer's own tests.
bool check_stub_unsigned(const std::string& stub) {
  PeCertificateTable table{};
  std::string error;
  if (!pe_certificate_table(stub.c_str(), &table, &error) || !table.present) return true;
  pack_error("%s is signed (certificate table at offset %" PRIu32 "); pack the unsigned stub "
             "and sign the finished installer with --sign-cert and --sign-key", stub.c_str(), table.offset);
  return false;
}

// A stub must not carry an archive already, nor anything the installer's scan would take
// for the first entry: the scan stops at the first match, so the payload would be unreachable.
bool check_stub(const std::string& stub) {
  struct stat info {};
  if (stat(stub.c_str(), &info) != 0) {
    pack_error("%s", io_error("cannot read", stub).c_str());
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) >= ZIP_MAX_FILE_END) {
    pack_error("%s is 2 GiB or larger: the archive behind it would end past 2 GiB", stub.c_str());
    return false;
  }
  // The block search finds every place the byte-wise scan could stop; only then is the
  // scan itself run, to tell an archive from a stray signature.
  std::string error;
  const std::int64_t pattern_at = find_scan_pattern(stub.c_str(), &error);
  if (!error.empty()) {
    pack_error("%s", error.c_str());
    return false;
  }
  if (pattern_at < 0) return check_stub_unsigned(stub);
  ArchiveWalk walk{};
  if (walk_open(&walk, stub.c_str(), &error)) {
    pack_error("%s already carries an archive (first entry %s at offset %" PRId64
               "); pack the bare stub instead",
               stub.c_str(), name_for_display(walk.info.name, walk.info.name_length).c_str(),
               walk.header_offset);
    walk_close(&walk);
    return false;
  }
  pack_error("%s holds the scrambled archive signature at offset %" PRId64
             "; the installer's scan would stop there and never reach the payload",
             stub.c_str(), pattern_at);
  return false;
}

// SOURCE_DATE_EPOCH: unset or empty means "use the files' times".
bool fixed_time(std::time_t* moment, bool* fixed) {
  *fixed = false;
  const char* text = std::getenv("SOURCE_DATE_EPOCH");
  if (text == nullptr || *text == '\0') return true;
  long long seconds = 0;
  if (!cli_number(text, 0, INT64_MAX, &seconds)) {
    pack_error("SOURCE_DATE_EPOCH=%s is not a number of seconds", text);
    return false;
  }
  *moment = static_cast<std::time_t>(seconds);
  *fixed = true;
  return true;
}

// Walks the finished file with the installer's own scan: it must find the first entry
// right behind the stub and then every file, in order.
bool check_output(const std::string& path, std::uint64_t stub_size,
                  const std::vector<PackFile>& files) {
  ArchiveWalk walk{};
  std::string error;
  if (!walk_open(&walk, path.c_str(), &error)) {
    pack_error("the written installer does not open: %s", error.c_str());
    return false;
  }
  bool ok = walk.header_offset == static_cast<std::int64_t>(stub_size);
  std::size_t seen = 0;
  do {
    ok = ok && seen < files.size() && files[seen].name == walk.info.name;
    ++seen;
  } while (ok && walk_next(&walk));
  walk_close(&walk);
  if (!ok || seen != files.size()) {
    pack_error("the written installer does not walk as written (%zu of %zu entries found)",
               seen, files.size());
    return false;
  }
  return true;
}

// Copies the stub in blocks; a stub that leaves no room below 2 GiB is refused first.
bool copy_stub(const std::string& stub, int fd, std::uint64_t* size) {
  const int input = open(stub.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (input < 0 || fstat(input, &info) != 0) {
    pack_error("%s", io_error("cannot read", stub).c_str());
    if (input >= 0) close(input);
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) >= ZIP_MAX_FILE_END) {
    pack_error("%s is 2 GiB or larger: the archive behind it would end past 2 GiB", stub.c_str());
    close(input);
    return false;
  }
  std::vector<unsigned char> block(STUB_COPY_BLOCK);
  *size = 0;
  for (;;) {
    const ssize_t got = read(input, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      pack_error("%s", io_error("cannot read", stub).c_str());
      close(input);
      return false;
    }
    if (got == 0) break;
    if (!fd_write_all(fd, block.data(), static_cast<std::size_t>(got))) {
      pack_error("%s", io_error("cannot write", "the output").c_str());
      close(input);
      return false;
    }
    *size += static_cast<std::uint64_t>(got);
  }
  close(input);
  return true;
}

bool write_installer(const BuildOptions& options, const std::vector<PackFile>& files,
                     TempOutput* out, std::uint64_t* stub_size_out) {
  std::time_t epoch = 0;
  bool fixed = false;
  if (!fixed_time(&epoch, &fixed)) return false;
  std::uint64_t stub_size = 0;
  if (!copy_stub(options.stub, out->fd, &stub_size)) return false;
  *stub_size_out = stub_size;
  std::vector<PackSource> sources;
  for (const PackFile& file : files) {
    sources.push_back(PackSource{file.path, file.name,
                                 fixed ? dos_from_unix(epoch, true) : dos_from_unix(file.modified, false)});
  }
  // The workers compress; the writer only appends what they made, so it needs no
  // compressor of its own.
  ArchiveWriter writer{};
  bool ok = writer_start(&writer, out->fd, stub_size, 0);
  Progress progress{};
  progress_start(&progress, "packing");
  ParallelStats stats{};
  ok = ok && parallel_pack(&writer, options.level, sources, options.jobs, path_folder(options.out),
                           &progress, &stats);
  ok = ok && writer_finish(&writer);
  progress_clear(&progress);
  if (!ok) pack_error("%s", writer.error.c_str());
  writer_release(&writer);
  if (!ok) return false;
  if (fsync(out->fd) != 0) {
    pack_error("%s", io_error("cannot write", out->temp_path).c_str());
    return false;
  }
  return check_output(out->temp_path, stub_size, files);
}

// Signs the finished unsigned installer into a second temporary file beside the output,
// then checks that the signed file still walks as written and that its certificate table
// lies behind the archive and ends the file. osslsigncode creates its output itself and
// refuses to overwrite, so the second name is reserved and then left free for it.
bool sign_installer(const BuildOptions& options, const TempOutput& unsigned_out, std::uint64_t stub_size,
                    const std::vector<PackFile>& files, TempOutput* signed_out) {
  std::string error;
  if (!temp_create(signed_out, options.out, &error)) {
    pack_error("%s", error.c_str());
    return false;
  }
  close(signed_out->fd);
  signed_out->fd = -1;
  unlink(signed_out->temp_path.c_str());
  if (!sign_file(options.sign, unsigned_out.temp_path, signed_out->temp_path, &error)) {
    pack_error("%s", error.c_str());
    return false;
  }
  signed_out->fd = open(signed_out->temp_path.c_str(), O_RDWR | O_CLOEXEC);
  struct stat unsigned_info {};
  struct stat signed_info {};
  if (signed_out->fd < 0 || fstat(signed_out->fd, &signed_info) != 0 ||
      fstat(unsigned_out.fd, &unsigned_info) != 0) {
    pack_error("%s", io_error("cannot read", signed_out->temp_path).c_str());
    return false;
  }
  PeCertificateTable table{};
  if (!pe_certificate_table(signed_out->temp_path.c_str(), &table, &error)) {
    pack_error("the signed installer: %s", error.c_str());
    return false;
  }
  const std::uint64_t table_end = static_cast<std::uint64_t>(table.offset) + table.size;
  if (!table.present || table.offset < static_cast<std::uint64_t>(unsigned_info.st_size) ||
      table_end != static_cast<std::uint64_t>(signed_info.st_size)) {
    pack_error("the signed installer does not end with its certificate table behind the archive");
    return false;
  }
  if (fsync(signed_out->fd) != 0) {
    pack_error("%s", io_error("cannot write", signed_out->temp_path).c_str());
    return false;
  }
  return check_output(signed_out->temp_path, stub_size, files);
}

}  // namespace

int command_build(int argc, char** argv) {
  BuildOptions options{};
  const int parsed = parse_options(argc, argv, &options);
  if (parsed >= 0) return parsed;
  if (!stub_choose(options.stub, &options.stub)) return PACK_EXIT_FAILED;
  std::vector<PackFile> files;
  bool ok = collect_files(options.inputs, &files);
  ok = check_names(&files) && ok;
  ok = check_stub(options.stub) && ok;
  if (!ok) return PACK_EXIT_FAILED;

  TempOutput out{};
  std::string error;
  if (!temp_create(&out, options.out, &error)) {
    pack_error("%s", error.c_str());
    return PACK_EXIT_FAILED;
  }
  std::uint64_t stub_size = 0;
  if (!write_installer(options, files, &out, &stub_size)) {
    temp_discard(&out);
    return PACK_EXIT_FAILED;
  }
  TempOutput* finished = &out;
  TempOutput signed_out{};
  if (!options.sign.certificate.empty()) {
    if (!sign_installer(options, out, stub_size, files, &signed_out)) {
      temp_discard(&signed_out);
      temp_discard(&out);
      return PACK_EXIT_FAILED;
    }
    temp_discard(&out);
    finished = &signed_out;
  }
  if (!temp_commit(finished, &error)) {
    pack_error("%s", error.c_str());
    return PACK_EXIT_FAILED;
  }
  bool has_program = false;
  for (const PackFile& file : files) {
    has_program = has_program || name_is_installed_program(file.name.data(), file.name.size());
  }
  if (!has_program) {
    pack_warning("no orvinta.exe among the files: the installer will install them but start nothing");
  }
  return PACK_EXIT_OK;
}
