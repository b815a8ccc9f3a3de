// Operating-system generation, Administrators membership and the elevated relaunch.
// None of them keeps state or shows anything.

#include "installer/elevation.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>

#include "common/bounded_string.h"
#include "install_core/install_messages.h"
#include "installer/elevation_decision.h"
#include "installer/windows_text.h"

namespace {

// The relaunch must name its own file whatever folder it was started from, so it takes
// the longest path a module can have: a UNICODE_STRING holds 32767 units, plus the
// terminator. (The installation itself keeps to its 256-unit paths.)
constexpr std::size_t LONGEST_MODULE_PATH = 32768;
using RelaunchPath = PathW<LONGEST_MODULE_PATH>;

// Removes the "cannot open file" box while kernel32 is looked up.
constexpr UINT NO_OPEN_FILE_ERROR_BOX = SEM_NOOPENFILEERRORBOX;

}  // namespace

int is_vista_or_later() {
  const DWORD version = GetVersion();
  const UINT previous_mode = SetErrorMode(NO_OPEN_FILE_ERROR_BOX);
  HMODULE kernel32 = LoadLibraryA("kernel32.dll");
  SetErrorMode(previous_mode);
  bool has_get_locale_info_ex = false;
  if (kernel32 != nullptr) {
    has_get_locale_info_ex = GetProcAddress(kernel32, "GetLocaleInfoEx") != nullptr;
    FreeLibrary(kernel32);
  }
  return vista_or_later_from(kernel32 != nullptr, has_get_locale_info_ex, static_cast<std::uint32_t>(version));
}

int is_user_admin() {
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  BOOL member = FALSE;
  // S-1-5-32-544, the local Administrators group.
  if (AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                               0, 0, &administrators)) {
    // No token: the thread's impersonation token, else the process's. Only an enabled
    // group counts, so an administrator's filtered token answers no until elevated.
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
  }
  return member ? 1 : 0;
}

int relaunch_elevated() {
  static_assert(LONGEST_MODULE_PATH * sizeof(wchar_t) <= 65536, "64 KiB of stack at most");
  RelaunchPath own_path;
  if (!own_module_path(own_path)) return INSTALL_EXIT_NOT_INSTALLED;

  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = 0;  // no process handle: this instance ends without waiting
  info.hwnd = nullptr;
  info.lpVerb = L"runas";
  info.lpFile = own_path.text;
  info.lpParameters = nullptr;
  info.lpDirectory = nullptr;
  info.nShow = SW_SHOWNORMAL;
  // Also fails when the user declines the elevation prompt.
  return ShellExecuteExW(&info) ? INSTALL_EXIT_OK : INSTALL_EXIT_NOT_INSTALLED;
}
