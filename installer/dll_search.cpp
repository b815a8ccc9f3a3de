// The DLL search restriction, applied before anything else the installer does: the
// first mechanism the running Windows offers wins. It must never load a DLL itself to
// find out (kernel32 is already mapped), and it never stops the installation: where
// Windows offers no restriction, the installer runs as it always did.

#include "installer/dll_search.h"

namespace {

// GetProcAddress returns a generic function pointer; the detour through void(*)() is the
// conversion that compilers accept without a cast-function-type warning.
template <typename Function>
Function look_up(HMODULE module, const char* name) {
  const FARPROC found = GetProcAddress(module, name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

DllSearchRestriction restrict_dll_search_with(SetDefaultDllDirectoriesFunction set_default,
                                              SetDllDirectoryWFunction set_directory) {
  if (set_default != nullptr && set_default(DLL_SEARCH_SYSTEM32_ONLY)) return DLL_SEARCH_SYSTEM_FOLDER_ONLY;
  // The empty string removes the current folder from the search; the program's own
  // folder stays, which is all that Windows XP SP1 to Windows 7 without KB2533623 allow.
  if (set_directory != nullptr && set_directory(L"")) return DLL_SEARCH_CURRENT_FOLDER_OFF;
  return DLL_SEARCH_UNCHANGED;
}

DllSearchRestriction restrict_dll_search() {
  // kernel32 is mapped into every process before WinMain: taking its handle loads nothing.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return DLL_SEARCH_UNCHANGED;
  return restrict_dll_search_with(look_up<SetDefaultDllDirectoriesFunction>(kernel32, "SetDefaultDllDirectories"),
                                  look_up<SetDllDirectoryWFunction>(kernel32, "SetDllDirectoryW"));
}
