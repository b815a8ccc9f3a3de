#pragma once
// What an interrupt (SIGINT, SIGTERM, SIGHUP) must not leave behind: temporary files and
// folders of an unfinished output, and a progress line on the terminal. The handler
// removes the files, then the folders, clears the line, and lets the signal end the
// process as it would have.

#include <csignal>
#include <string>

// Remembers a path for removal; returns its slot, or -1 when the path is too long or
// every slot is taken (the caller then removes it itself, as on every normal path).
int cleanup_add(const std::string& path, bool folder);
void cleanup_remove(int slot);

// Whether a progress line is on the terminal (stderr) and needs clearing.
void cleanup_progress_line(bool on_screen);

// The cleanup signals wait while a file is created and its slot filled, so that none
// arrives in between; restore gives back the mask that block returned.
sigset_t cleanup_block_signals();
void cleanup_restore_signals(const sigset_t& previous);
