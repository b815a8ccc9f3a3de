// orvinta-pack build: a stub followed by the scrambled archive of the given files.
//
// In four parts, in the order a build runs them: the options; the checks, all made
// before anything is written (inputs, names, stub, output, signing material); the
// compression and writing of the archive; the signing of the finished file. Then the
// output is renamed into place and the summary reported.

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
#include "tools/output_safety.h"
#include "tools/pack_report.h"
#include "tools/pe_image.h"
#include "tools/progress.h"
#include "tools/sign_check.h"
#include "tools/parallel_compress.h"
#include "tools/stub_identity.h"
#include "tools/stub_location.h"
#include "tools/zip_central.h"

const char* const USAGE_BUILD =
    "usage: orvinta-pack build --out SETUP.exe [--stub STUB.exe] [--level N] [--jobs N]\n"
    "                          [--strict] [--json] [--verbose] [--x86-64-test-stub]\n"
    "                          [--sign-cert CERT --sign-key KEY | --sign-pkcs12 FILE]\n"
    "                          [--sign-pass-env NAME | --sign-pass-file FILE]\n"
    "                          [--timestamp-url URL] FILE_OR_FOLDER...\n"
    "\n"
    "Writes SETUP.exe: a copy of STUB.exe followed by the scrambled archive of the files.\n"
    "A folder contributes the files in it; it must not hold folders of its own. Everything\n"
    "is checked before anything is packed; SETUP.exe is replaced only once the new\n"
    "installer is complete, and never when it is the stub, a file being packed or lies\n"
    "in a folder being packed. Ends with a one-line summary on stderr.\n"
    "  --stub STUB.exe     the installer stub (orvinta-setup.exe) without a payload\n"
    "                      (default: the stub installed with this tool)\n"
    "  --out SETUP.exe     the installer to write\n"
    "  --level N           Deflate level 0-12: 0 stores every file, 12 (the default)\n"
    "                      compresses best; files Deflate cannot shrink are stored\n"
    "  --jobs N            compress N files at a time (default: one per processor);\n"
    "                      the installer is the same for every N\n"
    "  --strict            warnings (no orvinta.exe among the files) are failures\n"
    "  --json              print one JSON object on stdout describing the result\n"
    "  --verbose           show OpenSSL's and osslsigncode's own reports on failures\n"
    "  --x86-64-test-stub  accept the x86-64 test build of the stub (tests only)\n"
    "  --sign-cert CERT    sign the finished installer (Authenticode, with osslsigncode)\n"
    "  --sign-key KEY      with this certificate (chain) and private key, PEM or DER\n"
    "  --sign-pkcs12 FILE  or with the certificate and key of a PKCS#12 (.pfx) file\n"
    "  --sign-pass-env NAME   the key's passphrase is in environment variable NAME\n"
    "  --sign-pass-file FILE  the key's passphrase is in FILE (a final line end is dropped)\n"
    "  --timestamp-url URL    have the signature time-stamped by this RFC 3161 server\n"
    "Entries are ordered by name. SOURCE_DATE_EPOCH, when set, gives every entry's time\n"
    "and the signing time.\n";

namespace {

constexpr int LEVEL_DEFAULT = 12;
constexpr int LEVEL_HIGHEST = 12;
constexpr std::size_t STUB_COPY_BLOCK = 1 << 20;

// ---- Options ----------------------------------------------------------------------------

struct BuildOptions {
  std::string stub;
  std::string out;
  int level;
  std::uint32_t jobs;
  bool strict;
  bool json;
  bool verbose;
  bool allow_x86_64_test_stub;
  SignOptions sign;
  std::vector<std::string> inputs;
};

struct PackFile {
  std::string path;
  std::string name;
  std::time_t modified;
  std::uint64_t size;
};

// The options that take a value: where the value goes and what the mistake is called.
struct ValueOption {
  const char* name;
  std::string BuildOptions::*field;
  std::string SignOptions::*sign_field;
  const char* missing;
};

constexpr ValueOption VALUE_OPTIONS[] = {
    {"--stub", &BuildOptions::stub, nullptr, "--stub needs a file"},
    {"--out", &BuildOptions::out, nullptr, "--out needs a file"},
    {"--sign-cert", nullptr, &SignOptions::certificate, "--sign-cert needs a file"},
    {"--sign-key", nullptr, &SignOptions::key, "--sign-key needs a file"},
    {"--sign-pkcs12", nullptr, &SignOptions::pkcs12, "--sign-pkcs12 needs a file"},
    {"--sign-pass-env", nullptr, &SignOptions::pass_env, "--sign-pass-env needs the name of a variable"},
    {"--sign-pass-file", nullptr, &SignOptions::pass_file, "--sign-pass-file needs a file"},
    {"--timestamp-url", nullptr, &SignOptions::timestamp_url, "--timestamp-url needs a URL"},
};

// The combinations that make no sense; empty when the options fit together.
std::string options_mistake(const BuildOptions& options) {
  const SignOptions& sign = options.sign;
  if (options.out.empty()) return "--out is required";
  if (options.inputs.empty()) return "no files to pack";
  if (!sign.pkcs12.empty() && (!sign.certificate.empty() || !sign.key.empty())) {
    return "--sign-pkcs12 holds the certificate and the key: give it instead of --sign-cert and --sign-key";
  }
  if (sign.certificate.empty() != sign.key.empty()) return "--sign-cert and --sign-key go together";
  if (!sign.pass_env.empty() && !sign.pass_file.empty()) {
    return "--sign-pass-env and --sign-pass-file are two ways to give one passphrase: choose one";
  }
  if (!sign_requested(sign) && (!sign.pass_env.empty() || !sign.pass_file.empty())) {
    return "a passphrase option needs --sign-cert and --sign-key, or --sign-pkcs12";
  }
  if (!sign.timestamp_url.empty() && !sign_requested(sign)) {
    return "--timestamp-url needs --sign-cert and --sign-key, or --sign-pkcs12";
  }
  return std::string();
}

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
    const std::string text = argument;
    if (text == "--" || text == "--strict" || text == "--json" || text == "--verbose" ||
        text == STUB_TEST_OPTION) {
      options_done = options_done || text == "--";
      options->strict = options->strict || text == "--strict";
      options->json = options->json || text == "--json";
      options->verbose = options->verbose || text == "--verbose";
      options->allow_x86_64_test_stub = options->allow_x86_64_test_stub || text == STUB_TEST_OPTION;
      ++i;
      continue;
    }
    std::string value;
    bool missing = false;
    if (cli_option(argc, argv, &i, "--level", &value, &missing)) {
      long long level = 0;
      if (missing || !cli_number(value, 0, LEVEL_HIGHEST, &level)) {
        return cli_usage_error(USAGE_BUILD, "--level needs a number from 0 to 12");
      }
      options->level = static_cast<int>(level);
      continue;
    }
    if (cli_option(argc, argv, &i, "--jobs", &value, &missing)) {
      long long jobs = 0;
      if (missing || !cli_number(value, 1, PARALLEL_JOBS_MAX, &jobs)) {
        return cli_usage_error(USAGE_BUILD, "--jobs needs a number from 1 to " + std::to_string(PARALLEL_JOBS_MAX));
      }
      options->jobs = static_cast<std::uint32_t>(jobs);
      continue;
    }
    bool known = false;
    for (const ValueOption& option : VALUE_OPTIONS) {
      if (!cli_option(argc, argv, &i, option.name, &value, &missing)) continue;
      if (missing || value.empty()) return cli_usage_error(USAGE_BUILD, option.missing);
      if (option.field != nullptr) options->*option.field = value;
      else options->sign.*option.sign_field = value;
      known = true;
      break;
    }
    if (!known) return cli_usage_error(USAGE_BUILD, std::string("unknown option ") + argument);
  }
  const std::string mistake = options_mistake(*options);
  if (!mistake.empty()) return cli_usage_error(USAGE_BUILD, mistake);
  return -1;
}

// ---- Checks -----------------------------------------------------------------------------

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
  files->push_back(PackFile{path, name, info.st_mtime, static_cast<std::uint64_t>(info.st_size)});
  return true;
}

// Expands the arguments into files; a folder gives its files, and a folder inside it is
// refused since the installer would have to create it. Every file and folder is also
// remembered in *guarded for the output's check.
bool collect_files(const std::vector<std::string>& inputs, std::vector<PackFile>* files,
                   std::vector<GuardedFile>* guarded) {
  bool ok = true;
  for (const std::string& input : inputs) {
    struct stat info {};
    if (stat(input.c_str(), &info) != 0) {
      pack_error("%s", io_error("cannot read", input).c_str());
      ok = false;
      continue;
    }
    guard_add(guarded, S_ISDIR(info.st_mode) ? "the folder" : "the packed file", input);
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
        guard_add(guarded, "the packed file", path);
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

// The stub must be the installer stub, small enough, unsigned, and free of anything the
// installer's scan would take for the first entry: the scan stops at the first match, so
// the payload would be unreachable. A signed stub would lose its signature's validity: the
// archive would land behind the certificate table, outside what the signature covers.
bool check_stub(const BuildOptions& options, StubInfo* stub) {
  const std::string& path = options.stub;
  std::string error;
  if (!stub_identify_file(path, stub, &error)) {
    pack_error("%s", error.c_str());
    return false;
  }
  const std::string problem = stub_problem(path, *stub, options.allow_x86_64_test_stub);
  if (!problem.empty()) {
    pack_error("%s", problem.c_str());
    return false;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    pack_error("%s", io_error("cannot read", path).c_str());
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) >= ZIP_MAX_FILE_END) {
    pack_error("%s is 2 GiB or larger: the archive behind it would end past 2 GiB", path.c_str());
    return false;
  }
  if (stub->image.certificate.present) {
    pack_error("%s is signed (certificate table at offset %" PRIu32 "); pack the unsigned stub "
               "and sign the finished installer with --sign-cert and --sign-key or --sign-pkcs12",
               path.c_str(), stub->image.certificate.offset);
    return false;
  }
  // The block search finds every place the byte-wise scan could stop; only then is the
  // scan itself run, to tell an archive from a stray signature.
  const std::int64_t pattern_at = find_scan_pattern(path.c_str(), &error);
  if (!error.empty()) {
    pack_error("%s", error.c_str());
    return false;
  }
  if (pattern_at < 0) return true;
  ArchiveWalk walk{};
  if (walk_open(&walk, path.c_str(), &error)) {
    pack_error("%s already carries an archive (first entry %s at offset %" PRId64
               "); pack the bare stub instead",
               path.c_str(), name_for_display(walk.info.name, walk.info.name_length).c_str(),
               walk.header_offset);
    walk_close(&walk);
    return false;
  }
  pack_error("%s holds the scrambled archive signature at offset %" PRId64
             "; the installer's scan would stop there and never reach the payload",
             path.c_str(), pattern_at);
  return false;
}

// The output against everything the build reads, the signing files included.
bool check_output_path(const BuildOptions& options, std::vector<GuardedFile>* guarded) {
  guard_add(guarded, "the stub", options.stub);
  const struct {
    const char* role;
    const std::string& path;
  } signing[] = {{"the signing certificate", options.sign.certificate},
                 {"the signing key", options.sign.key},
                 {"the PKCS#12 file", options.sign.pkcs12},
                 {"the passphrase file", options.sign.pass_file}};
  for (const auto& file : signing) {
    if (!file.path.empty()) guard_add(guarded, file.role, file.path);
  }
  const std::string problem = output_problem(options.out, *guarded);
  if (problem.empty()) return true;
  pack_error("%s", problem.c_str());
  return false;
}

bool check_signing(const BuildOptions& options, SignReady* ready) {
  if (!sign_requested(options.sign)) return true;
  std::string error;
  std::string details;
  if (sign_check(options.sign, ready, &error, &details)) return true;
  pack_error("%s", error.c_str());
  if (options.verbose) pack_details(details);
  return false;
}

// Warnings first (failures under --strict), then every refusal; nothing is written yet.
bool check_everything(const BuildOptions& options, std::vector<PackFile>* files, StubInfo* stub,
                      SignReady* ready) {
  std::vector<GuardedFile> guarded;
  bool ok = collect_files(options.inputs, files, &guarded);
  ok = check_names(files) && ok;
  if (ok && files->empty()) {
    pack_error("no files to pack: the folders given hold no files");
    ok = false;
  }
  ok = check_stub(options, stub) && ok;
  ok = check_output_path(options, &guarded) && ok;
  bool has_program = false;
  for (const PackFile& file : *files) {
    has_program = has_program || name_is_installed_program(file.name.data(), file.name.size());
  }
  if (ok && !has_program) {
    pack_warning("no orvinta.exe among the files: the installer will install them but start nothing");
    ok = !options.strict;
  }
  return ok && check_signing(options, ready);
}

// ---- Compression and writing --------------------------------------------------------------

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
bool check_output(const std::string& path, std::uint64_t stub_size, const std::vector<PackFile>& files) {
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
    pack_error("the written installer does not walk as written (%zu of %zu entries found)", seen, files.size());
    return false;
  }
  return true;
}

// Copies the stub in blocks; a stub that leaves no room below 2 GiB is refused first.
bool copy_stub(const std::string& stub, int fd, const std::string& out, std::uint64_t* size) {
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
      pack_error("%s", io_error("cannot write", out).c_str());
      close(input);
      return false;
    }
    *size += static_cast<std::uint64_t>(got);
  }
  close(input);
  return true;
}

// What the archive came to, for the summary and the JSON report.
struct BuildResult {
  ParallelStats packing;
  std::uint64_t stub_size;
  std::uint64_t bytes_in;
  std::uint64_t bytes_out;
  std::vector<WrittenEntry> entries;
};

bool write_installer(const BuildOptions& options, const std::vector<PackFile>& files, TempOutput* out,
                     BuildResult* result) {
  std::time_t epoch = 0;
  bool fixed = false;
  if (!fixed_time(&epoch, &fixed)) return false;
  if (!copy_stub(options.stub, out->fd, out->final_path, &result->stub_size)) return false;
  std::vector<PackSource> sources;
  std::uint64_t total = 0;
  for (const PackFile& file : files) {
    sources.push_back(PackSource{file.path, file.name,
                                 fixed ? dos_from_unix(epoch, true) : dos_from_unix(file.modified, false)});
    total += file.size;
  }
  // The workers compress; the writer only appends what they made, so it needs no
  // compressor of its own. Entries finished early wait in the private output folder.
  ArchiveWriter writer{};
  bool ok = writer_start(&writer, out->fd, result->stub_size, 0);
  writer.output_name = out->final_path;
  Progress progress{};
  progress_start(&progress, "packing", static_cast<std::uint32_t>(files.size()), total);
  ok = ok && parallel_pack(&writer, options.level, sources, options.jobs, out->folder, &progress, &result->packing);
  result->bytes_in = result->packing.bytes_in;
  ok = ok && writer_finish(&writer, archive_comment(options.level));
  progress_clear(&progress);
  if (!ok) pack_error("%s", writer.error.c_str());
  for (const WrittenEntry& entry : writer.entries) result->bytes_out += entry.compressed_size;
  result->entries = writer.entries;
  writer_release(&writer);
  if (!ok) return false;
  if (fsync(out->fd) != 0) {
    pack_error("%s", io_error("cannot write", out->final_path).c_str());
    return false;
  }
  return check_output(out->temp_path, result->stub_size, files);
}

// ---- Signing ------------------------------------------------------------------------------

// Signs the finished unsigned installer into the signed copy beside it in the private
// folder, then checks that the signed file still walks as written and that its
// certificate table lies behind the archive and ends the file.
bool sign_installer(const BuildOptions& options, const SignReady& ready, TempOutput* out,
                    const BuildResult& result, const std::vector<PackFile>& files) {
  temp_reserve_signed(out);
  std::string error;
  std::string report;
  if (!sign_file(options.sign, ready.have_passphrase, ready.passphrase, out->temp_path, out->signed_path, &error,
                 &report)) {
    pack_error("%s", error.c_str());
    if (options.verbose) pack_details(report);
    return false;
  }
  const int fd = open(out->signed_path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat unsigned_info {};
  struct stat signed_info {};
  if (fd < 0 || fstat(fd, &signed_info) != 0 || fstat(out->fd, &unsigned_info) != 0) {
    pack_error("%s", io_error("cannot read the signed copy of", out->final_path).c_str());
    if (fd >= 0) close(fd);
    return false;
  }
  PeImage image{};
  const PeParse parsed = pe_read_image(pe_source_fd(fd, static_cast<std::uint64_t>(signed_info.st_size)), &image, &error);
  const bool synced = fsync(fd) == 0;
  close(fd);
  if (parsed != PeParse::image) {
    pack_error("the signed installer %s", error.c_str());
    return false;
  }
  const std::uint64_t table_end = static_cast<std::uint64_t>(image.certificate.offset) + image.certificate.size;
  if (!image.certificate.present || image.certificate.offset < static_cast<std::uint64_t>(unsigned_info.st_size) ||
      table_end != static_cast<std::uint64_t>(signed_info.st_size)) {
    pack_error("the signed installer does not end with its certificate table behind the archive");
    return false;
  }
  if (!synced) {
    pack_error("%s", io_error("cannot write the signed copy of", out->final_path).c_str());
    return false;
  }
  return check_output(out->signed_path, result.stub_size, files);
}

// ---- Report -------------------------------------------------------------------------------

void report_build(const BuildOptions& options, const StubInfo& stub, const SignReady& ready,
                  const BuildResult& result, bool ok) {
  std::string sha256;
  std::string error;
  struct stat info {};
  const bool hashed = ok && file_sha256(options.out, &sha256, &error) && stat(options.out.c_str(), &info) == 0;
  if (ok && !hashed) pack_warning("%s", error.c_str());
  const bool signed_file = ok && sign_requested(options.sign);
  const double ratio = result.bytes_in == 0 ? 1.0 : static_cast<double>(result.bytes_out) / result.bytes_in;
  if (ok) {
    std::fprintf(stderr,
                 "%s: built %s: %zu %s, %" PRIu64 " bytes in, %" PRIu64 " bytes out (%.1f%%), installer %" PRIu64
                 " bytes, %s, SHA-256 %s\n",
                 PACK_PROGRAM, options.out.c_str(), result.entries.size(),
                 result.entries.size() == 1 ? "entry" : "entries", result.bytes_in, result.bytes_out, 100.0 * ratio,
                 static_cast<std::uint64_t>(info.st_size),
                 signed_file ? ("signed by " + ready.subject).c_str() : "not signed", sha256.c_str());
  }
  if (!options.json) return;
  PackJson report;
  report["command"] = "build";
  report["output"] = options.out;
  report["stub"] = report_stub(stub, std::string());
  report["level"] = options.level;
  report["jobs"] = result.packing.threads;
  report["peak_bytes_held"] = result.packing.peak_bytes;
  report["comment"] = archive_comment(options.level);
  PackJson entries = PackJson::array();
  for (const WrittenEntry& written : result.entries) {
    ZipEntryInfo entry{};
    entry.method = written.method;
    entry.flags = written.flags;
    entry.crc32 = written.crc32;
    entry.compressed_size = written.compressed_size;
    entry.uncompressed_size = written.uncompressed_size;
    entry.name_length = static_cast<std::uint16_t>(written.name.copy(entry.name, ZIP_NAME_CAPACITY - 1));
    entries.push_back(report_entry(entry, static_cast<std::int64_t>(result.stub_size + written.header_offset)));
  }
  report["entries"] = entries;
  report["bytes_in"] = result.bytes_in;
  report["bytes_out"] = result.bytes_out;
  report["ratio"] = ratio;
  report["installer_size"] = ok ? PackJson(static_cast<std::uint64_t>(info.st_size)) : PackJson();
  report["signed"] = signed_file;
  report["signer"] = signed_file ? PackJson(ready.subject) : PackJson();
  report["sha256"] = hashed ? PackJson(sha256) : PackJson();
  report["verdict"] = ok ? "built" : "failed";
  report["error"] = ok ? PackJson() : PackJson(pack_first_error());
  report_print(report);
}

}  // namespace

int command_build(int argc, char** argv) {
  BuildOptions options{};
  const int parsed = parse_options(argc, argv, &options);
  if (parsed >= 0) return parsed;
  if (!stub_choose(options.stub, &options.stub)) return PACK_EXIT_FAILED;
  pack_set_strict(options.strict);
  std::vector<PackFile> files;
  StubInfo stub{};
  SignReady ready{};
  BuildResult result{};
  if (!check_everything(options, &files, &stub, &ready)) {
    report_build(options, stub, ready, result, false);
    return PACK_EXIT_FAILED;
  }
  TempOutput out{};
  std::string error;
  bool ok = temp_create(&out, options.out, &error);
  if (!ok) pack_error("%s", error.c_str());
  ok = ok && write_installer(options, files, &out, &result);
  ok = ok && (!sign_requested(options.sign) || sign_installer(options, ready, &out, result, files));
  if (ok && !temp_commit(&out, &error)) {
    pack_error("%s", error.c_str());
    ok = false;
  }
  if (!ok) temp_discard(&out);
  report_build(options, stub, ready, result, ok);
  return ok ? PACK_EXIT_OK : PACK_EXIT_FAILED;
}
