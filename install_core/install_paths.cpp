// The paths of the installation, each built into a fixed 256-byte buffer. A builder
// reports a path that does not fit instead of letting a cut one be used; the cut text
// stays in the buffer only so that a message can show it.

#include "install_core/install_paths.h"

DestinationStatus install_build_destination(const char* program_files, InstallPath& out) {
  if (program_files == nullptr || program_files[0] == 0) {
    bs_copy(out, DESTINATION_SUFFIX);
    return DESTINATION_UNKNOWN;
  }
  if (!bs_copy(out, program_files) || !bs_append(out, DESTINATION_SUFFIX)) return DESTINATION_TOO_LONG;
  return DESTINATION_OK;
}

bool install_build_entry_path(const char* destination, const char* name, InstallPath& out) {
  // Evaluated in order, so a failed step leaves the cut text of that step in out.
  return bs_copy(out, destination) && bs_append(out, ENTRY_SEPARATOR) && bs_append(out, name);
}

bool install_build_program_path(const char* destination, InstallPath& out) {
  return bs_copy(out, destination) && bs_append(out, PROGRAM_SUFFIX);
}
