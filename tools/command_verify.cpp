// orvinta-pack verify: extracts every entry the way the installer does, into a discarded
// sink, and reports the first problem.

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tools/archive_walk.h"
#include "tools/cli.h"
#include "tools/code_signing.h"
#include "tools/commands.h"
#include "tools/entry_check.h"
#include "tools/name_rules.h"
#include "tools/pack_message.h"
#include "tools/pack_status.h"
#include "tools/pe_certificate.h"
#include "tools/progress.h"

const char* const USAGE_VERIFY =
    "usage: orvinta-pack verify [--ca-file CA.pem] SETUP.exe\n"
    "\n"
    "Checks that the installer can install every entry of SETUP.exe: extracts each one\n"
    "as the installer does (Deflate data against its CRC-32), checks stored data against\n"
    "its CRC-32, checks the names, and reports the first problem found.\n"
    "A signed installer's Authenticode signature is checked first (with osslsigncode):\n"
    "anything changed after signing fails.\n"
    "  --ca-file CA.pem  the certificates the signer's chain must lead to, in place of\n"
    "                    the system's; also makes a missing signature a failure\n";

namespace {

// Why the scan finds no archive, as precisely as the file allows.
void report_no_archive(const char* path, const std::string& open_error) {
  std::string error;
  const std::int64_t pattern_at = find_scan_pattern(path, &error);
  if (!error.empty()) {
    pack_error("%s", open_error.c_str());
  } else if (pattern_at < 0) {
    pack_error("%s: no archive; the scrambled local header signature with version 20 "
               "does not occur in the file", path);
  } else {
    pack_error("%s: the first local header the installer finds, at offset %" PRId64
               ", does not parse (name length 0 or cut short)", path, pattern_at);
  }
}

void report_entry(const char* path, const ArchiveWalk& walk, const std::string& problem) {
  pack_error("%s: entry %" PRIu32 " %s (local header at offset %" PRId64 "): %s", path,
             walk.index + 1,
             name_for_display(walk.info.name, walk.info.name_length < ZIP_NAME_CAPACITY
                                                  ? walk.info.name_length
                                                  : ZIP_NAME_CAPACITY - 1).c_str(),
             walk.header_offset, problem.c_str());
}

// The checks of one entry; returns the problem, or an empty text.
std::string check_entry(ArchiveWalk* walk, std::map<std::string, std::string>* folded) {
  const ZipEntryInfo& info = walk->info;
  if (info.name_length >= ZIP_NAME_CAPACITY) {
    return "the name is " + std::to_string(info.name_length) + " bytes long; the installer keeps 255";
  }
  const NameProblem problem = name_check_install(info.name, info.name_length);
  if (problem != NameProblem::none) return std::string("the name ") + name_problem_text(problem);
  const auto inserted = folded->emplace(name_fold_case(info.name, info.name_length), info.name);
  if (!inserted.second) {
    return "the name clashes with the earlier entry " + name_for_display(inserted.first->second) +
           " (the same apart from letter case); the later one would overwrite it";
  }
  FILE* sink = std::tmpfile();
  if (sink == nullptr) return "cannot create a temporary file to extract into";
  std::string result;
  if (zip_extract(walk->reader, sink) != 0) {
    result = entry_failure_reason(walk, sink);
  } else {
    std::uint64_t length = 0;
    std::uint32_t crc = 0;
    result = sink_measure(sink, &length, &crc) ? entry_content_problem(info, length, crc)
                                               : "cannot read back the extracted data";
  }
  std::fclose(sink);
  return result;
}

// The signature of a signed installer: its certificate table must end the file and lie
// behind the archive (anything behind it, or entries past it, are not covered), and
// osslsigncode must accept it. Returns false after reporting; *signed_file tells whether
// there was a signature to check.
bool check_signature(const char* path, const std::string& ca_file, bool* signed_file) {
  PeCertificateTable table{};
  std::string error;
  *signed_file = false;
  if (!pe_certificate_table(path, &table, &error)) {
    if (ca_file.empty()) return true;  // no PE image: nothing that could carry a signature
    pack_error("%s", error.c_str());
    return false;
  }
  if (!table.present) {
    if (ca_file.empty()) return true;
    pack_error("%s is not signed", path);
    return false;
  }
  *signed_file = true;
  struct stat info {};
  if (stat(path, &info) != 0) {
    pack_error("cannot read %s: %s", path, std::strerror(errno));
    return false;
  }
  const std::int64_t table_end = static_cast<std::int64_t>(table.offset) + table.size;
  if (table_end != info.st_size) {
    pack_error("%s: the certificate table (offset %" PRIu32 ", %" PRIu32 " bytes) does not end the "
               "file of %" PRId64 " bytes: what follows it is not covered by the signature",
               path, table.offset, table.size, static_cast<std::int64_t>(info.st_size));
    return false;
  }
  // Where the installer's walk ends; a file without an archive is reported later.
  ArchiveWalk walk{};
  std::int64_t archive_end = -1;
  if (walk_open(&walk, path, &error)) {
    while (walk_next(&walk)) {
    }
    archive_end = walk.end_offset;
    walk_close(&walk);
  }
  if (archive_end > static_cast<std::int64_t>(table.offset)) {
    pack_error("%s: the archive runs past the certificate table (offset %" PRIu32
               "): its entries from there on are not covered by the signature", path, table.offset);
    return false;
  }
  if (!verify_signature(path, ca_file, &error)) {
    pack_error("%s: %s", path, error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int command_verify(int argc, char** argv) {
  std::string ca_file;
  const char* path = nullptr;
  for (int i = 0; i < argc;) {
    std::string value;
    bool missing = false;
    if (cli_is_help(argv[i])) return cli_help(USAGE_VERIFY);
    if (cli_option(argc, argv, &i, "--ca-file", &value, &missing)) {
      if (missing || value.empty()) return cli_usage_error(USAGE_VERIFY, "--ca-file needs a file");
      ca_file = value;
      continue;
    }
    if (path != nullptr) return cli_usage_error(USAGE_VERIFY, "verify takes one installer file");
    path = argv[i++];
  }
  if (path == nullptr) return cli_usage_error(USAGE_VERIFY, "verify takes one installer file");
  bool signed_file = false;
  if (!check_signature(path, ca_file, &signed_file)) return PACK_EXIT_FAILED;
  ArchiveWalk walk{};
  std::string error;
  if (!walk_open(&walk, path, &error)) {
    report_no_archive(path, error);
    return PACK_EXIT_FAILED;
  }
  Progress progress{};
  progress_start(&progress, "verifying");
  std::map<std::string, std::string> folded;
  bool has_program = false;
  std::uint64_t total = 0;
  do {
    progress_step(&progress, walk.index, walk.info.name);
    const std::string problem = check_entry(&walk, &folded);
    if (!problem.empty()) {
      progress_clear(&progress);
      report_entry(path, walk, problem);
      walk_close(&walk);
      return PACK_EXIT_FAILED;
    }
    has_program = has_program || name_is_installed_program(walk.info.name, walk.info.name_length);
    total += walk.info.uncompressed_size;
  } while (walk_next(&walk));
  progress_clear(&progress);
  walk_close(&walk);
  const std::string end_problem = walk_end_problem(path, walk.end_offset, walk.file_size);
  if (!end_problem.empty()) {
    pack_error("%s: after entry %" PRIu32 ": %s", path, walk.index + 1, end_problem.c_str());
    return PACK_EXIT_FAILED;
  }
  if (!has_program) {
    pack_warning("%s: no orvinta.exe among the entries: the installer starts nothing", path);
  }
  const std::uint32_t count = walk.index + 1;
  std::printf("%s: %" PRIu32 " %s, %" PRIu64 " bytes, all intact%s\n", path, count,
              count == 1 ? "entry" : "entries", total, signed_file ? "; signature verified" : "");
  return PACK_EXIT_OK;
}
