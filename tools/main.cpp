// orvinta-pack: makes and checks Orvinta installers on any build machine.

#include <cstring>
#include <string>

#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/pack_status.h"

const char* const USAGE_MAIN =
    "usage: orvinta-pack COMMAND ARGUMENTS...\n"
    "\n"
    "Commands:\n"
    "  build --stub STUB.exe --out SETUP.exe [--level N] [--sign-cert CERT --sign-key KEY]\n"
    "        FILE_OR_FOLDER... append the files to the installer stub, then sign\n"
    "  list SETUP.exe          show the entries the installer will find\n"
    "  verify [--ca-file CA] SETUP.exe\n"
    "                          check the signature and that every entry extracts intact\n"
    "  extract SETUP.exe DIR   extract the entries into a folder\n"
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
  for (const Command& command : COMMANDS) {
    if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 2, argv + 2);
  }
  return cli_usage_error(USAGE_MAIN, std::string("unknown command ") + argv[1]);
}
