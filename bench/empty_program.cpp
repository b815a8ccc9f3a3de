// A Windows program that does nothing: what starting and ending a process costs under
// Wine, the floor under every installer's time (bench/install-bench.sh).

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
