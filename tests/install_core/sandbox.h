#pragma once
// A throw-away folder holding the destination of one installation, and file operations
// for the entry loop that write into the real file system the way the installer's do on
// Windows ("\" and "/" both separate) while recording every path asked for.

#include <string>
#include <vector>

#include "install_core/install_entries.h"

struct Sandbox {
  std::string root;         // the throw-away folder
  std::string destination;  // root + "/dest", the installation folder
  std::vector<std::string> created;  // every path create_file was asked for
  bool escaped = false;     // some create or remove named a place outside the destination
};

// Makes a fresh sandbox below the system's temporary folder (destination created empty).
bool sandbox_create(Sandbox& sandbox);
// Empties the destination again and forgets what was recorded.
void sandbox_reset(Sandbox& sandbox);
void sandbox_remove(Sandbox& sandbox);

EntryFileOps sandbox_ops(Sandbox& sandbox);

// Whether the joined path, resolved part by part, stays inside destination.
bool sandbox_path_inside(const std::string& destination, const std::string& path);

// Files below the sandbox root other than the destination folder itself, relative to
// the root; and the regular files directly in the destination, sorted.
std::vector<std::string> sandbox_outside_files(const Sandbox& sandbox);
std::vector<std::string> sandbox_destination_files(const Sandbox& sandbox);
