#pragma once
// Starting the installed program and waiting for it.

// Starts the program at program_path (UTF-8) with the command line "orvinta.exe /install",
// in the installer's own current directory, and waits for it without a time limit.
// Returns true when the program ran; a program that could not be started is not reported
// to the user, and its exit code is not read.
bool launch_and_wait(const char* program_path);
