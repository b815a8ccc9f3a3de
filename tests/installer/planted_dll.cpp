// A DLL that does nothing: placed beside a test program, as an attacker would place one
// beside an installer in a download folder.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
