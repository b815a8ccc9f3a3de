#pragma once
// The entry loop of the installation: writes every entry of an open archive into the
// destination folder, one at a time, until the walk ends or an entry cannot be written.
// The file operations are passed in, so the same loop runs inside the installer and on
// a development host.

#include <cstdint>
#include <cstdio>

#include "archive/zip_reader.h"
#include "install_core/install_paths.h"

struct EntryFileOps {
  void* context;
  // Removes an old file of that path; the result is ignored (best effort).
  int (*remove_file)(void* context, const char* path);
  // Creates or truncates the file for binary writing; null when it cannot.
  FILE* (*create_file)(void* context, const char* path);
};

enum InstallStop {
  INSTALL_STOP_WALK_ENDED,     // zip_next or zip_get_info failed: the end, or a header that does not parse
  INSTALL_STOP_CREATE_FAILED,  // entry path too long, name unsafe, or the file not creatable
  INSTALL_STOP_EXTRACT_FAILED, // zip_extract failed; the file stays as written
};

struct InstallLoopResult {
  InstallStop stop;
  std::uint32_t files_written;  // entries extracted completely
};

// entry_path receives each entry's path; after INSTALL_STOP_CREATE_FAILED it names the
// entry that was refused (cut to the buffer when it did not fit). An entry is opened
// for writing only when its name is safe and its whole path fits.
InstallLoopResult install_entries(ZipReader* reader, const char* destination, const EntryFileOps& ops,
                                  InstallPath& entry_path);
