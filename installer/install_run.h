#pragma once
// The installation itself, once the process runs with the rights it needs: empty and
// recreate the destination, write the archive's entries into it, start the installed
// program and wait for it. Returns the process exit code.

int install_run();
