#include "installer/launch.h"

#include <windows.h>

#include <cstring>

#include "common/bounded_string.h"
#include "installer/install_paths.h"

bool launch_and_wait(const char* program_path) {
  PathW<INSTALL_PATH_CAPACITY> application;
  bs_clear(application);
  const int units = MultiByteToWideChar(CP_UTF8, 0, program_path, -1, application.text,
                                        static_cast<int>(INSTALL_PATH_CAPACITY));
  if (units <= 0) return false;  // no conversion: no program to start
  application.length = static_cast<std::size_t>(units - 1);

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
