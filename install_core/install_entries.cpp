// The entry loop: one entry at a time, its path built and checked, its file created,
// extracted into and closed before the next is touched. It stops at the first entry it
// cannot write, and it never opens a file for a name that is unsafe or a path that does
// not fit; what to tell the user is left to the caller.

#include "install_core/install_entries.h"

#include "install_core/entry_name.h"

InstallLoopResult install_entries(ZipReader* reader, const char* destination, const EntryFileOps& ops,
                                  InstallPath& entry_path) {
  InstallLoopResult result{INSTALL_STOP_WALK_ENDED, 0};
  ZipEntryInfo info;
  while (zip_get_info(reader, &info) == 0) {
    const bool fits = install_build_entry_path(destination, info.name, entry_path);
    if (!fits || !entry_name_is_safe(info.name)) {
      result.stop = INSTALL_STOP_CREATE_FAILED;
      return result;
    }
    ops.remove_file(ops.context, entry_path.text);
    FILE* output = ops.create_file(ops.context, entry_path.text);
    if (output == nullptr) {
      result.stop = INSTALL_STOP_CREATE_FAILED;
      return result;
    }
    const bool extracted = zip_extract(reader, output) == 0;
    std::fclose(output);
    if (!extracted) {
      result.stop = INSTALL_STOP_EXTRACT_FAILED;
      return result;
    }
    ++result.files_written;
    if (zip_next(reader) != 0) break;
  }
  return result;
}
