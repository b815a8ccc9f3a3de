#pragma once
// The commands of orvinta-pack. Each takes the arguments behind the command's name and
// returns the process exit code (tools/pack_status.h).

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
