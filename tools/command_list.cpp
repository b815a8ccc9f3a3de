// orvinta-pack list: the entries as the installer's walk meets them.

#include <cinttypes>
#include <cstdio>
#include <string>

#include "tools/archive_walk.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/pack_message.h"
#include "tools/pack_status.h"

const char* const USAGE_LIST =
    "usage: orvinta-pack list SETUP.exe\n"
    "\n"
    "Lists the entries the installer finds in SETUP.exe, in the order it installs them:\n"
    "local header offset, method, compressed and uncompressed size, CRC-32 and name.\n";

int command_list(int argc, char** argv) {
  if (argc >= 1 && cli_is_help(argv[0])) return cli_help(USAGE_LIST);
  if (argc != 1) return cli_usage_error(USAGE_LIST, "list takes one installer file");
  ArchiveWalk walk{};
  std::string error;
  if (!walk_open(&walk, argv[0], &error)) {
    pack_error("%s", error.c_str());
    return PACK_EXIT_FAILED;
  }
  std::printf("%10s  %-8s %10s %10s  %-8s  %s\n", "offset", "method", "packed", "size", "crc32",
              "name");
  std::uint64_t packed = 0;
  std::uint64_t size = 0;
  do {
    const ZipEntryInfo& info = walk.info;
    std::printf("%10" PRId64 "  %-8s %10" PRIu32 " %10" PRIu32 "  %08" PRIx32 "  %s\n",
                walk.header_offset, walk_method_text(info.method).c_str(), info.compressed_size,
                info.uncompressed_size, info.crc32,
                name_for_display(info.name, info.name_length < ZIP_NAME_CAPACITY
                                                ? info.name_length
                                                : ZIP_NAME_CAPACITY - 1).c_str());
    packed += info.compressed_size;
    size += info.uncompressed_size;
  } while (walk_next(&walk));
  const std::uint32_t count = walk.index + 1;
  std::printf("%" PRIu32 " %s, %" PRIu64 " bytes packed, %" PRIu64
              " bytes unpacked; the walk ends at offset %" PRId64 "\n",
              count, count == 1 ? "entry" : "entries", packed, size, walk.end_offset);
  walk_close(&walk);
  return PACK_EXIT_OK;
}
