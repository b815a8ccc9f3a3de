// orvinta-pack verify: checks the program in front of the archive, the signature, and
// extracts every entry the way the installer does, into a discarded sink, reporting the
// first problem.

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
#include "tools/file_util.h"
#include "tools/name_rules.h"
#include "tools/pack_message.h"
#include "tools/pack_report.h"
#include "tools/pack_status.h"
#include "tools/progress.h"
#include "tools/signature_info.h"
#include "tools/stub_identity.h"

const char* const USAGE_VERIFY =
    "usage: orvinta-pack verify [--json] [--ca-file CA.pem] [--require-signature] [--verbose]\n"
    "                           [--x86-64-test-stub] SETUP.exe\n"
    "\n"
    "Checks that SETUP.exe is an installer that installs every entry: the program in front\n"
    "of the archive must be the installer stub; a signed installer's Authenticode\n"
    "signature must verify (with osslsigncode), so anything changed after signing fails;\n"
    "then each entry is extracted as the installer does (Deflate data against its CRC-32),\n"
    "stored data is checked against its CRC-32, Deflate data must end with its final\n"
    "block, the names are checked, and the archive must end cleanly. The first problem\n"
    "is reported. An unsigned installer passes as \"not signed\" unless a signature is\n"
    "required.\n"
    "  --json               print one JSON object on stdout\n"
    "  --ca-file CA.pem     the certificates the signer's chain must lead to, in place of\n"
    "                       the system's (needed for a test certificate); also makes a\n"
    "                       missing signature a failure\n"
    "  --require-signature  an unsigned installer fails\n"
    "  --verbose            show osslsigncode's own report when the signature fails\n"
    "  --x86-64-test-stub   accept the x86-64 test build of the stub\n";

namespace {

struct VerifyRun {
  const char* path;
  const InspectOptions& options;
  PackJson report;
};

// Why the scan finds no archive, as precisely as the file allows.
std::string no_archive_reason(const char* path, const std::string& open_error) {
  std::string error;
  const std::int64_t pattern_at = find_scan_pattern(path, &error);
  if (!error.empty()) return open_error;
  if (pattern_at < 0) {
    return std::string(path) + ": no archive; the scrambled local header signature with version 20 "
                               "does not occur in the file";
  }
  return std::string(path) + ": the first local header the installer finds, at offset " +
         std::to_string(pattern_at) + ", does not parse (name length 0 or cut short)";
}

// The data of a Deflate entry that extracted, read once more for bytes behind its end.
std::string deflate_tail(const char* path, const ArchiveWalk* walk) {
  FILE* input = std::fopen(path, "rb");
  if (input == nullptr) return std::string("cannot open ") + path + " again: " + std::strerror(errno);
  std::string problem =
      deflate_tail_problem(input, walk_data_offset(walk), walk->info.compressed_size, walk->info.uncompressed_size);
  std::fclose(input);
  return problem;
}

// The checks of one entry; returns the problem, or an empty text.
std::string check_entry(const char* path, ArchiveWalk* walk, std::map<std::string, std::string>* folded) {
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
  if (sink == nullptr) return std::string("cannot create a temporary file to extract into: ") + std::strerror(errno);
  std::string result;
  if (entry_extract(walk, sink, "the extracted data to a temporary file", &result)) {
    std::uint64_t length = 0;
    std::uint32_t crc = 0;
    result = sink_measure(sink, &length, &crc) ? entry_content_problem(info, length, crc)
                                               : "cannot read back the extracted data";
    if (result.empty() && info.method == ZIP_METHOD_DEFLATE) result = deflate_tail(path, walk);
  }
  std::fclose(sink);
  return result;
}

// The signature of a signed installer: its certificate table must end the file, and
// osslsigncode must accept it (that the archive lies in front of the table is part of the
// check of the archive's end). An unsigned one passes unless a signature is required.
bool check_signature(VerifyRun* run, const StubInfo& stub, std::int64_t file_size, bool* signed_file) {
  const char* path = run->path;
  const PeImage& image = stub.image;
  *signed_file = image.certificate.present;
  std::string problem;
  std::string report;
  SignatureInfo signer{};
  bool signer_known = false;
  if (!image.certificate.present) {
    if (!run->options.ca_file.empty() || run->options.require_signature) {
      problem = std::string(path) + " is not signed, and " +
                (run->options.require_signature ? "--require-signature" : "--ca-file") + " asks for a signature";
    }
  } else {
    std::string error;
    signer_known = signature_info_file(path, image.certificate, &signer, &error);
    const std::int64_t table_end = static_cast<std::int64_t>(image.certificate.offset) + image.certificate.size;
    if (table_end != file_size) {
      problem = std::string(path) + ": the certificate table (offset " + std::to_string(image.certificate.offset) +
                ", " + std::to_string(image.certificate.size) + " bytes) does not end the file of " +
                std::to_string(file_size) + " bytes: what follows it is not covered by the signature";
    } else if (!signer_known) {
      problem = std::string(path) + ": " + error;
    } else if (!verify_signature(path, run->options.ca_file, &error, &report)) {
      problem = std::string(path) + ": " + error;
    }
  }
  if (!problem.empty()) {
    pack_error("%s", problem.c_str());
    if (run->options.verbose) pack_details(report);
  }
  PackJson signature = report_signature(&image, signer_known ? &signer : nullptr, problem);
  signature["verified"] = image.certificate.present && problem.empty();
  run->report["signature"] = signature;
  if (problem.empty() && signer_known) run->report["signer"] = signer.subject;
  return problem.empty();
}

int finish(VerifyRun* run, bool ok) {
  if (run->options.json) {
    run->report["verdict"] = ok ? "intact" : "failed";
    run->report["error"] = ok ? PackJson() : PackJson(pack_first_error());
    report_print(run->report);
  }
  return ok ? PACK_EXIT_OK : PACK_EXIT_FAILED;
}

}  // namespace

int verify_installer(const char* path, const InspectOptions& options) {
  VerifyRun run{path, options, PackJson()};
  run.report["command"] = "verify";
  run.report["file"] = path;
  StubInfo stub{};
  std::string error;
  if (!stub_identify_file(path, &stub, &error)) {
    pack_error("%s", error.c_str());
    return finish(&run, false);
  }
  const std::string stub_error = stub_problem(path, stub, options.allow_x86_64_test_stub);
  run.report["stub"] = report_stub(stub, stub_error);
  if (!stub_error.empty()) {
    pack_error("%s", stub_error.c_str());
    return finish(&run, false);
  }
  struct stat info {};
  if (stat(path, &info) != 0) {
    pack_error("%s", io_error("cannot read", path).c_str());
    return finish(&run, false);
  }
  bool signed_file = false;
  if (!check_signature(&run, stub, info.st_size, &signed_file)) return finish(&run, false);

  ArchiveWalk walk{};
  if (!walk_open(&walk, path, &error)) {
    pack_error("%s", no_archive_reason(path, error).c_str());
    return finish(&run, false);
  }
  // The totals for the progress line come from a walk over the headers alone.
  std::uint32_t total_entries = 0;
  std::uint64_t total_bytes = 0;
  if (progress_wanted()) entry_totals(path, &total_entries, &total_bytes);
  Progress progress{};
  progress_start(&progress, "verifying", total_entries, total_bytes);
  std::map<std::string, std::string> folded;
  bool has_program = false;
  std::uint64_t total = 0;
  std::uint64_t compressed = 0;
  PackJson entries = PackJson::array();
  do {
    progress_step(&progress, walk.index, compressed);
    const std::string problem = check_entry(path, &walk, &folded);
    PackJson entry = report_entry(walk.info, walk.header_offset);
    entry["problem"] = problem.empty() ? PackJson() : PackJson(problem);
    entries.push_back(entry);
    if (!problem.empty()) {
      progress_clear(&progress);
      pack_error("%s: entry %" PRIu32 " %s (local header at offset %" PRId64 "): %s", path, walk.index + 1,
                 walk_name_text(walk.info).c_str(), walk.header_offset, problem.c_str());
      walk_close(&walk);
      run.report["entries"] = entries;
      return finish(&run, false);
    }
    has_program = has_program || name_is_installed_program(walk.info.name, walk.info.name_length);
    total += walk.info.uncompressed_size;
    compressed += walk.info.compressed_size;
  } while (walk_next(&walk));
  progress_clear(&progress);
  walk_close(&walk);
  run.report["entries"] = entries;
  const std::uint32_t count = walk.index + 1;
  const std::int64_t limit = signed_file ? static_cast<std::int64_t>(stub.image.certificate.offset) : walk.file_size;
  const ArchiveEnd end = archive_end_check(path, walk.end_offset, walk.file_size, limit, count);
  run.report["walk_end"] = report_walk_end(walk.end_offset, end);
  if (!end.problem.empty()) {
    pack_error("%s: after entry %" PRIu32 ": %s", path, count, end.problem.c_str());
    return finish(&run, false);
  }
  if (!has_program) pack_warning("%s: no orvinta.exe among the entries: the installer starts nothing", path);
  const bool ok = pack_warning_count() == 0 || !options.strict;
  if (!options.json && ok) {
    std::printf("%s: %" PRIu32 " %s, %" PRIu64 " bytes, all intact; %s\n", path, count,
                count == 1 ? "entry" : "entries", total,
                signed_file ? ("signature verified, signed by " + run.report["signer"].get<std::string>()).c_str()
                            : "not signed");
  }
  return finish(&run, ok);
}

int command_verify(int argc, char** argv) {
  InspectOptions options{};
  const char* path = nullptr;
  for (int i = 0; i < argc;) {
    std::string value;
    bool missing = false;
    const std::string argument = argv[i];
    if (cli_is_help(argv[i])) return cli_help(USAGE_VERIFY);
    if (cli_option(argc, argv, &i, "--ca-file", &value, &missing)) {
      if (missing || value.empty()) return cli_usage_error(USAGE_VERIFY, "--ca-file needs a file");
      options.ca_file = value;
      continue;
    }
    ++i;
    if (argument == "--json") {
      options.json = true;
    } else if (argument == "--require-signature") {
      options.require_signature = true;
    } else if (argument == "--verbose") {
      options.verbose = true;
    } else if (argument == "--strict") {
      options.strict = true;
    } else if (argument == STUB_TEST_OPTION) {
      options.allow_x86_64_test_stub = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return cli_usage_error(USAGE_VERIFY, "unknown option " + argument);
    } else if (path != nullptr) {
      return cli_usage_error(USAGE_VERIFY, "verify takes one installer file");
    } else {
      path = argv[i - 1];
    }
  }
  if (path == nullptr) return cli_usage_error(USAGE_VERIFY, "verify takes one installer file");
  pack_set_strict(options.strict);
  return verify_installer(path, options);
}
