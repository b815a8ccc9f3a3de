// The installation target from a single Program Files query: the wide form is the
// folder as the shell gave it, and the UTF-8 form is that same text converted, so the
// folder that is emptied and the folder that is filled cannot differ.

#include "installer/install_target.h"

#include <windows.h>
#include <shlobj.h>

#include "installer/windows_text.h"

static_assert(MAX_PATH + sizeof(DESTINATION_SUFFIX_W) / sizeof(wchar_t) + 1 < WIDE_DESTINATION_CAPACITY,
              "the wide destination must keep a second zero unit behind the suffix");

void install_query_target(InstallTarget& target) {
  // The shell writes at most MAX_PATH units, far less than the buffer holds.
  const bool known = bs_fill(target.wide, [](wchar_t* text, std::size_t) {
    return SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, text));
  });
  // The UTF-8 folder must fit the same 256 bytes as every other installer path; one that
  // does not is as unknown as no folder at all (empty, and refused below).
  InstallPath program_files;
  if (known) utf8_from_wide(target.wide.text, program_files);
  target.status = install_build_destination(program_files.text, target.destination);
  if (target.status == DESTINATION_UNKNOWN) {
    bs_zero(target.wide);
    return;
  }
  bs_append(target.wide, DESTINATION_SUFFIX_W);
}
