// orvinta-pack: makes and checks Orvinta installers on any build machine.

#include <libdeflate.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/pack_status.h"
#include "tools/pack_version.h"

const char* const USAGE_MAIN =
    "usage: orvinta-pack COMMAND ARGUMENTS...\n"
    "       orvinta-pack --version\n"
    "\n"
    "Commands:\n"
    "  build --out SETUP.exe [--stub STUB.exe] [--level N] [--jobs N] [--strict] [--json]\n"
    "        [--sign-cert CERT --sign-key KEY | --sign-pkcs12 FILE] FILE_OR_FOLDER...\n"
    "                          append the files to the installer stub, then sign\n"
    "  list [--json] SETUP.exe  show the entries the installer will find\n"
    "  verify [--json] [--ca-file CA] [--require-signature] SETUP.exe\n"
    "                          check the stub, the signature and that every entry\n"
    "                          extracts intact\n"
    "  extract SETUP.exe DIR   extract the entries into a folder\n"
    "Exit codes: 0 done, 1 refused input or a damaged installer, 2 a wrong command line.\n"
    "Run \"orvinta-pack COMMAND --help\" for the details of a command.\n";

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

constexpr Command COMMANDS[] = {
    {"build", command_build},
    {"list", command_list},
    {"verify", command_verify},
    {"extract", command_extract},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return cli_usage_error(USAGE_MAIN, "no command given");
  if (cli_is_help(argv[1]) || std::strcmp(argv[1], "help") == 0) return cli_help(USAGE_MAIN);
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s %s (compresses with libdeflate %s)\n", PACK_PROGRAM, PACK_VERSION, LIBDEFLATE_VERSION_STRING);
    return PACK_EXIT_OK;
  }
  for (const Command& command : COMMANDS) {
    if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 2, argv + 2);
  }
  return cli_usage_error(USAGE_MAIN, std::string("unknown command ") + argv[1]);
}
