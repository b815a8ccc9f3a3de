#pragma once
// The commands of orvinta-pack. Each takes the arguments behind the command's name and
// returns the process exit code (tools/pack_status.h).

#include <cstdint>
#include <string>

// What list, verify and extract take besides the file.
struct InspectOptions {
  bool json;                    // one JSON object on stdout
  bool allow_x86_64_test_stub;  // accept the x86-64 test build of the stub
  bool verbose;                 // other programs' own reports too
  bool require_signature;       // verify: an unsigned installer fails
  bool strict;                  // verify: warnings fail too
  std::string ca_file;          // verify: the authority the signer's chain must lead to
  std::uint32_t jobs;           // extract: entries decoded at once; 0 = one per processor
};

// The work of list, verify and extract on one file, without a command line: what the
// commands run after parsing theirs, callable in process. Each returns the exit code.
int list_installer(const char* path, const InspectOptions& options);
int verify_installer(const char* path, const InspectOptions& options);
int extract_installer(const char* path, const char* folder, const InspectOptions& options);

int command_build(int argc, char** argv);
int command_list(int argc, char** argv);
int command_verify(int argc, char** argv);
int command_extract(int argc, char** argv);

// Usage texts, printed for --help (stdout) and after a wrong command line (stderr).
extern const char* const USAGE_MAIN;
extern const char* const USAGE_BUILD;
extern const char* const USAGE_LIST;
extern const char* const USAGE_VERIFY;
extern const char* const USAGE_EXTRACT;
