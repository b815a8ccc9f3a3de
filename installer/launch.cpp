// Starting the installed program from the destination and waiting for it to end. The
// program is found through its full path alone, never through a search, and nothing of
// its outcome is read or reported.

#include "installer/launch.h"

#include <windows.h>

#include <cstring>

#include "common/bounded_string.h"
#include "install_core/install_paths.h"
#include "installer/windows_text.h"

bool launch_and_wait(const char* program_path) {
  // The UTF-16 form in as many units as the UTF-8 path has bytes: it always fits.
  PathW<INSTALL_PATH_CAPACITY> application;
  if (!wide_from_utf8(program_path, application)) return false;  // no conversion: no program to start

  // CreateProcessW may write into its command line, so it gets a copy of its own.
  PathW<sizeof(PROGRAM_COMMAND_LINE) / sizeof(wchar_t)> command_line;
  bs_copy(command_line, PROGRAM_COMMAND_LINE);

  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  std::memset(&process, 0, sizeof(process));
  if (!CreateProcessW(application.text, command_line.text, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &process)) {
    return false;
  }
  if (process.hProcess != nullptr) {
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
  }
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  return true;
}
