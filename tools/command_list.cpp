// orvinta-pack list: the entries as the installer's walk meets them.

#include <cinttypes>
#include <cstdio>
#include <string>

#include "tools/archive_walk.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/entry_check.h"
#include "tools/pack_message.h"
#include "tools/pack_report.h"
#include "tools/pack_status.h"
#include "tools/signature_info.h"
#include "tools/stub_identity.h"

const char* const USAGE_LIST =
    "usage: orvinta-pack list [--json] [--x86-64-test-stub] SETUP.exe\n"
    "\n"
    "Lists the entries the installer finds in SETUP.exe, in the order it installs them:\n"
    "local header offset, method, compressed and uncompressed size, CRC-32 and name;\n"
    "then where the walk ends, how the archive was made (its comment), the program in\n"
    "front of the archive and the signer. Exit code 1 when the program in front is not\n"
    "the installer stub or the walk does not end at a clean end of the archive (a cut\n"
    "or damaged installer); the entries found are listed all the same.\n"
    "  --json               print one JSON object on stdout instead of the table\n"
    "  --x86-64-test-stub   accept the x86-64 test build of the stub\n";

int list_installer(const char* path, const InspectOptions& options) {
  PackJson report;
  report["command"] = "list";
  report["file"] = path;
  StubInfo stub{};
  std::string error;
  if (!stub_identify_file(path, &stub, &error)) {
    pack_error("%s", error.c_str());
    if (options.json) {
      report["verdict"] = "no-archive";
      report["error"] = error;
      report_print(report);
    }
    return PACK_EXIT_FAILED;
  }
  const std::string stub_error = stub_problem(path, stub, options.allow_x86_64_test_stub);
  const bool has_image = stub.kind != StubKind::elf && stub.kind != StubKind::not_windows &&
                         stub.kind != StubKind::damaged;
  const PeImage* image = has_image ? &stub.image : nullptr;
  SignatureInfo signer{};
  std::string signer_problem;
  bool signer_known = false;
  if (image != nullptr && image->certificate.present) {
    signer_known = signature_info_file(path, image->certificate, &signer, &signer_problem);
  }
  report["stub"] = report_stub(stub, stub_error);
  report["signature"] = report_signature(image, signer_known ? &signer : nullptr, signer_problem);
  if (!stub_error.empty()) pack_error("%s", stub_error.c_str());

  ArchiveWalk walk{};
  if (!walk_open(&walk, path, &error)) {
    pack_error("%s", error.c_str());
    if (options.json) {
      report["entries"] = PackJson::array();
      report["walk_end"] = nullptr;
      report["verdict"] = "no-archive";
      report_print(report);
    }
    return PACK_EXIT_FAILED;
  }
  if (!options.json) {
    std::printf("%10s  %-8s %10s %10s  %-8s  %s\n", "offset", "method", "packed", "size", "crc32", "name");
  }
  PackJson entries = PackJson::array();
  std::uint64_t packed = 0;
  std::uint64_t size = 0;
  do {
    const ZipEntryInfo& info = walk.info;
    if (options.json) {
      entries.push_back(report_entry(info, walk.header_offset));
    } else {
      std::printf("%10" PRId64 "  %-8s %10" PRIu32 " %10" PRIu32 "  %08" PRIx32 "  %s\n", walk.header_offset,
                  walk_method_text(info.method).c_str(), info.compressed_size, info.uncompressed_size,
                  info.crc32, walk_name_text(info).c_str());
    }
    packed += info.compressed_size;
    size += info.uncompressed_size;
  } while (walk_next(&walk));
  walk_close(&walk);
  const std::uint32_t count = walk.index + 1;
  const std::int64_t limit = image != nullptr && image->certificate.present
                                 ? static_cast<std::int64_t>(image->certificate.offset)
                                 : walk.file_size;
  const ArchiveEnd end = archive_end_check(path, walk.end_offset, walk.file_size, limit, count);
  if (!end.problem.empty()) pack_error("%s: after entry %" PRIu32 ": %s", path, count, end.problem.c_str());
  const bool ok = stub_error.empty() && end.problem.empty();
  if (options.json) {
    report["entries"] = entries;
    report["walk_end"] = report_walk_end(walk.end_offset, end);
    report["verdict"] = ok ? "ok" : (stub_error.empty() ? "damaged" : "not-an-installer");
    report_print(report);
  } else {
    std::printf("%" PRIu32 " %s, %" PRIu64 " bytes packed, %" PRIu64 " bytes unpacked; the walk ends at offset %" PRId64
                "%s\n",
                count, count == 1 ? "entry" : "entries", packed, size, walk.end_offset,
                end.problem.empty() ? (end.central_directory ? " (central directory)" : " (end of the archive)")
                                    : " (damaged)");
    if (end.has_comment) std::printf("made by: %s\n", name_for_display(end.comment).c_str());
    std::printf("stub: %s\n", stub_error.empty() ? (stub.product.empty() ? "?" : stub.product.c_str())
                                                  : stub_kind_text(stub.kind));
    if (image != nullptr && image->certificate.present) {
      if (signer_known) {
        std::printf("signed by: %s (certificate valid %s to %s; not checked here, see verify)\n",
                    signer.subject.c_str(), signer.not_before.c_str(), signer.not_after.c_str());
      } else {
        std::printf("signed: the certificate table does not parse (%s)\n", signer_problem.c_str());
      }
    } else {
      std::printf("not signed\n");
    }
  }
  return ok ? PACK_EXIT_OK : PACK_EXIT_FAILED;
}

int command_list(int argc, char** argv) {
  InspectOptions options{};
  const char* path = nullptr;
  for (int i = 0; i < argc; ++i) {
    const std::string argument = argv[i];
    if (cli_is_help(argv[i])) return cli_help(USAGE_LIST);
    if (argument == "--json") {
      options.json = true;
    } else if (argument == STUB_TEST_OPTION) {
      options.allow_x86_64_test_stub = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return cli_usage_error(USAGE_LIST, "unknown option " + argument);
    } else if (path != nullptr) {
      return cli_usage_error(USAGE_LIST, "list takes one installer file");
    } else {
      path = argv[i];
    }
  }
  if (path == nullptr) return cli_usage_error(USAGE_LIST, "list takes one installer file");
  return list_installer(path, options);
}
