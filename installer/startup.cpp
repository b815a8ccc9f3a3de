// The process entry point of the installer stub, in place of the C runtime's start-up
// code. That code would be a fifth of the stub, and the installer uses none of what it
// does: it parses the command line and the environment into main's arguments, runs TLS
// callbacks, applies pseudo-relocations for data imported from DLLs, and installs signal
// and floating-point handlers. What the installer does rely on is in place without it:
// msvcrt.dll sets up its heap and its streams when the loader maps it, before this
// function runs, and the 64-bit arithmetic and stack probes come from libgcc as usual.
// The link checks the rest (installer/CMakeLists.txt): a static constructor, which
// nothing here would run, or a data import that needs a pseudo-relocation fails it.

#include <windows.h>

// The symbol the linker starts a GUI program at. Windows calls it with the stack aligned
// to 4 bytes only; the realignment gives the code below the 16 bytes it is compiled for.
// WinMain reads none of its arguments: it gets the module handle and an empty command line.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void WinMainCRTStartup() {
  char no_command_line[] = "";
  const int exit_code = WinMain(GetModuleHandleW(nullptr), nullptr, no_command_line, SW_SHOWDEFAULT);
  ExitProcess(static_cast<UINT>(exit_code));
}
