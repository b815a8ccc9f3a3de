// Self-relaunch with Wine's per-program Windows version set to XP.

#include "tests/support/as_windows_xp.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/support/scratch.h"

namespace {

// Set in the copy's environment so that it never starts a copy of its own.
constexpr wchar_t COPY_MARK[] = L"ORVINTA_TEST_AS_WINDOWS_XP";
// Wine's names of Windows XP for 32- and 64-bit programs.
constexpr const wchar_t* XP_VERSION_NAME = sizeof(void*) == 8 ? L"winxp64" : L"winxp";

}  // namespace

bool reports_windows_xp() { return (GetVersion() & 0xFF) == 5; }

bool ensure_windows_xp_version(int& exit_code) {
  if (reports_windows_xp() || !running_under_wine()) return true;
  if (GetEnvironmentVariableW(COPY_MARK, nullptr, 0) != 0) return true;  // the copy: run as it is

  const std::wstring program = own_path();
  const std::wstring key = L"Software\\Wine\\AppDefaults\\" + program.substr(program.find_last_of(L"\\/") + 1);
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot create HKCU\\%ls\n", key.c_str());
    exit_code = 2;
    return false;
  }
  const DWORD bytes = static_cast<DWORD>((wcslen(XP_VERSION_NAME) + 1) * sizeof(wchar_t));
  const LONG set = RegSetValueExW(handle, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(XP_VERSION_NAME), bytes);
  RegCloseKey(handle);
  if (set != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot set the Windows version of %ls\n", program.c_str());
    exit_code = 2;
    return false;
  }

  SetEnvironmentVariableW(COPY_MARK, L"1");
  std::wstring command_line = GetCommandLineW();
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "cannot start %ls again (error %lu)\n", program.c_str(), GetLastError());
    exit_code = 2;
  } else {
    std::fflush(stdout);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    exit_code = static_cast<int>(code);
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
  return false;
}
