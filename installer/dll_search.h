#pragma once
// Keeps the installer from loading DLLs that someone placed beside it. Installers are
// started from download folders, where any file may lie; the loader looks in the
// program's own folder first unless told otherwise. Must run before anything can load
// a DLL on demand (the elevation check, the shell's dialogs, the message box).

#include <windows.h>

#include <cstdint>

enum DllSearchRestriction : std::uint8_t {
  DLL_SEARCH_SYSTEM_FOLDER_ONLY = 1,   // SetDefaultDllDirectories: System32 alone
  DLL_SEARCH_CURRENT_FOLDER_OFF = 2,   // SetDllDirectoryW(""): the current folder left out
  DLL_SEARCH_UNCHANGED = 3,            // the platform offers neither (Windows XP before SP1)
};

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
using SetDllDirectoryWFunction = BOOL(WINAPI*)(LPCWSTR);

// The value of LOAD_LIBRARY_SEARCH_SYSTEM32, kept here so that the call does not depend
// on the headers' idea of the target Windows version.
constexpr DWORD DLL_SEARCH_SYSTEM32_ONLY = 0x00000800;

// Restricts the search as far as the running Windows allows; both functions are looked
// up in kernel32 at run time, since Windows XP lacks the first and its first release the
// second.
DllSearchRestriction restrict_dll_search();

// The same with the functions given (null where the platform lacks one): the first that
// exists and succeeds decides.
DllSearchRestriction restrict_dll_search_with(SetDefaultDllDirectoriesFunction set_default,
                                              SetDllDirectoryWFunction set_directory);
