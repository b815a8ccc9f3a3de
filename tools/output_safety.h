#pragma once
// The rule of build's --out: a mistake on the command line never destroys a file. Before
// any work the output is checked against everything the build reads (the stub, every
// file packed, the signing files) by device and inode, so that no other name of one of
// them (a hard link, a symbolic link, another spelling of the path) can be replaced;
// against existing things that are not regular files (a device, a FIFO, a socket, a
// folder); and against the folders being packed, which the next build would pack it from.

#include <sys/types.h>

#include <string>
#include <vector>

struct GuardedFile {
  const char* role;   // "the stub", "the packed file", "the signing key", ...
  std::string path;
  dev_t device;
  ino_t inode;
  bool folder;        // a folder argument: the output must not lie inside it
};

// Adds path with its device and inode (following symbolic links); false when it cannot
// be examined, which the caller reports in its own check of that file.
bool guard_add(std::vector<GuardedFile>* guarded, const char* role, const std::string& path);

// The one-line refusal, or an empty text when the output may be written.
std::string output_problem(const std::string& out, const std::vector<GuardedFile>& guarded);
