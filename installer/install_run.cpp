// The installation sequence once the process has the rights it needs: empty and
// recreate the destination, write every entry of the archive behind the installer's own
// image into it, then start the installed program and wait for it. Only this sequence
// talks to the user, through the three messages; it never writes outside the
// destination and never uses a path that had to be cut to fit its buffer.

#include "installer/install_run.h"

#include <cstdint>
#include <cstdio>

#include "archive/zip_reader.h"
#include "common/bounded_string.h"
#include "install_core/install_entries.h"
#include "install_core/install_messages.h"
#include "install_core/install_paths.h"
#include "installer/entry_files_win.h"
#include "installer/install_target.h"
#include "installer/launch.h"
#include "installer/show_message.h"
#include "installer/windows_text.h"
#include "u8file/u8file.h"

namespace {

// Like every other path of the flow, the own path holds 255 characters and a terminator.
// An installer stored deeper than that reports its archive as unreadable (message 1)
// rather than open a file that a cut path would name.
constexpr std::size_t OWN_PATH_CAPACITY = 256;
using OwnPath = PathW<OWN_PATH_CAPACITY>;

}  // namespace

int install_run() {
  InstallTarget target;
  install_query_target(target);
  // Without a Program Files folder the destination would be "\Orvinta" at the root of
  // the current drive: nothing is deleted or written there.
  if (target.status == DESTINATION_UNKNOWN) {
    show_message(MESSAGE_CREATE_FAILED, target.destination.text);
    return INSTALL_EXIT_NOT_INSTALLED;
  }

  delete_tree_w(target.wide.text);

  // A module path that had to be cut is dropped (the archive then counts as unreadable);
  // a UTF-8 form that does not fit leaves the messages an empty path.
  OwnPath own_path;
  const bool own_path_known = own_module_path(own_path);
  InstallPath own_path_u8;
  utf8_from_wide(own_path.text, own_path_u8);

  // A destination too long for the path buffers cannot hold a single entry: it is
  // reported like an entry that cannot be created, and nothing is written.
  if (target.status == DESTINATION_TOO_LONG) {
    show_message(MESSAGE_CREATE_FAILED, target.destination.text);
    return INSTALL_EXIT_OK;
  }
  const InstallPath& destination = target.destination;
  u8_mkdir(destination.text);

  std::int32_t start_offset = -1;  // scrambled archive, scanned for from the file's start
  FILE* own_file = own_path_known ? _wfopen(own_path.text, L"rb") : nullptr;
  ZipReader* reader = own_file != nullptr ? zip_open(own_file, &start_offset) : nullptr;
  if (reader == nullptr) {
    show_message(MESSAGE_ARCHIVE_UNREADABLE, own_path_u8.text);
    return INSTALL_EXIT_OK;
  }

  InstallPath entry_path;
  const InstallLoopResult loop = install_entries(reader, destination.text, entry_files_win(), entry_path);
  if (loop.stop == INSTALL_STOP_CREATE_FAILED) show_message(MESSAGE_CREATE_FAILED, entry_path.text);
  if (loop.stop == INSTALL_STOP_EXTRACT_FAILED) show_message(MESSAGE_DATA_CORRUPT, own_path_u8.text);
  zip_close(reader);  // also closes own_file; its result after a full walk is a failure

  InstallPath program_path;
  if (install_build_program_path(destination.text, program_path)) launch_and_wait(program_path.text);
  return INSTALL_EXIT_OK;
}
