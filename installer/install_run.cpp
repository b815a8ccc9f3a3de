#include "installer/install_run.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "archive/zip_reader.h"
#include "common/bounded_string.h"
#include "installer/entry_files_win.h"
#include "installer/install_entries.h"
#include "installer/install_messages.h"
#include "installer/install_paths.h"
#include "installer/launch.h"
#include "installer/show_message.h"
#include "u8file/u8file.h"

namespace {

// The shell's delete takes a list of paths ended by two zero units. Program Files has
// at most MAX_PATH - 1 units, so with the suffix the text stays far below this capacity
// and the zero fill always leaves the second terminator behind it.
constexpr std::size_t WIDE_DESTINATION_CAPACITY = 512;
static_assert(MAX_PATH + sizeof(DESTINATION_SUFFIX_W) / sizeof(wchar_t) + 1 < WIDE_DESTINATION_CAPACITY,
              "the wide destination must keep a second zero unit behind the suffix");
using WideDestination = PathW<WIDE_DESTINATION_CAPACITY>;

constexpr std::size_t OWN_PATH_CAPACITY = 256;
using OwnPath = PathW<OWN_PATH_CAPACITY>;

// Program Files + "\Orvinta" as UTF-16; empty when the folder is unknown.
void query_wide_destination(WideDestination& out) {
  std::memset(out.text, 0, sizeof(out.text));
  out.length = 0;
  SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, out.text);
  out.length = std::wcslen(out.text);
  if (out.length != 0) bs_append(out, DESTINATION_SUFFIX_W);
}

// The installer's own file. A module path that GetModuleFileNameW had to cut would name
// another file, so it is dropped (and the archive then counts as unreadable).
bool query_own_path(OwnPath& out) {
  bs_clear(out);
  const DWORD units = GetModuleFileNameW(nullptr, out.text, static_cast<DWORD>(OWN_PATH_CAPACITY));
  if (units == 0 || units >= OWN_PATH_CAPACITY) {
    bs_clear(out);
    return false;
  }
  out.text[units] = 0;
  out.length = units;
  return true;
}

// The UTF-8 form of the own path, for the messages only; empty when it does not fit.
void own_path_utf8(const OwnPath& own, InstallPath& out) {
  bs_clear(out);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, own.text, -1, out.text,
                                        static_cast<int>(INSTALL_PATH_CAPACITY), nullptr, nullptr);
  if (bytes <= 0) {
    bs_clear(out);
    return;
  }
  out.length = static_cast<std::size_t>(bytes - 1);
}

}  // namespace

int install_run() {
  WideDestination wide_destination;
  query_wide_destination(wide_destination);
  char program_files[INSTALL_PATH_CAPACITY];
  u8_special_folder(CSIDL_PROGRAM_FILES, program_files, static_cast<int>(sizeof(program_files)));

  // Without a Program Files folder the destination would be "\Orvinta" at the root of
  // the current drive: nothing is deleted or written there.
  InstallPath destination;
  DestinationStatus status = install_build_destination(program_files, destination);
  if (wide_destination.length == 0) status = install_build_destination("", destination);
  if (status == DESTINATION_UNKNOWN) {
    show_message(MESSAGE_CREATE_FAILED, destination.text);
    return INSTALL_EXIT_NOT_INSTALLED;
  }

  delete_tree_w(wide_destination.text);

  OwnPath own_path;
  const bool own_path_known = query_own_path(own_path);
  InstallPath own_path_u8;
  own_path_utf8(own_path, own_path_u8);

  // A destination too long for the path buffers cannot hold a single entry: it is
  // reported like an entry that cannot be created, and nothing is written.
  if (status == DESTINATION_TOO_LONG) {
    show_message(MESSAGE_CREATE_FAILED, destination.text);
    return INSTALL_EXIT_OK;
  }
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
