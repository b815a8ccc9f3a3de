// Entry point of the installer. None of the arguments is read: everything the installer
// does is fixed when it is built.
//
// The program this file starts is the stub that every installer is made from, and its
// build (installer/CMakeLists.txt) keeps it that way:
// - small and self-contained: linked statically, so it needs no DLL beside the system's
//   own, and stripped of its symbol table; anything it links adds to every download, so
//   it starts at an entry point of its own (startup.cpp) rather than the C runtime's
//   start-up code, and must stay within 48 KiB (tests/installer/check_pe.py);
// - a GUI program for Windows XP (subsystem and OS version 5.1) and later, so it may call
//   nothing newer without looking it up at run time first;
// - a 1 MiB stack reserve, of which the relaunch takes up to 64 KiB for its own path;
// - reproducible: no link time stamp and no build paths, so that the same sources give
//   the same bytes and a published signature can be checked against a rebuild.

#include <windows.h>

#include "installer/dll_search.h"
#include "installer/elevation.h"
#include "installer/install_run.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // First of all: every later step may load a DLL on demand, and none may come from the
  // download folder the installer was started from. Where the platform offers no
  // restriction the installer still runs as before.
  restrict_dll_search();
  // An administrator's unelevated process or a standard user on Vista and later gets an
  // elevated copy of the installer instead; older Windows has no such split.
  if (is_vista_or_later() && !is_user_admin()) return relaunch_elevated();
  return install_run();
}
