#pragma once
// Exit codes of orvinta-pack, shared by every command.

constexpr int PACK_EXIT_OK = 0;       // done (warnings may have been printed)
constexpr int PACK_EXIT_FAILED = 1;   // refused input, damaged archive or an I/O failure
constexpr int PACK_EXIT_USAGE = 2;    // the command line itself was wrong

// The program's name as it appears at the start of every message.
constexpr const char PACK_PROGRAM[] = "orvinta-pack";
