// Entry point of the installer. None of the arguments is read: everything the installer
// does is fixed when it is built.

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
