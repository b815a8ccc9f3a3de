// The interrupt handler of orvinta-pack and the paths it removes.

#include "tools/interrupt_cleanup.h"

#include <unistd.h>

#include <cstring>

namespace {

constexpr std::size_t CLEANUP_PATH_CAPACITY = 4096;
// The unsigned output, its signed copy and the private folder holding both.
constexpr int CLEANUP_SLOTS = 4;
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr char CLEAR_LINE[] = "\r\033[K";

char g_paths[CLEANUP_SLOTS][CLEANUP_PATH_CAPACITY];
volatile std::sig_atomic_t g_used[CLEANUP_SLOTS] = {};
volatile std::sig_atomic_t g_is_folder[CLEANUP_SLOTS] = {};
volatile std::sig_atomic_t g_progress_line = 0;
bool g_installed = false;

extern "C" void cleanup_on_signal(int signal_number) {
  for (int pass = 0; pass < 2; ++pass) {  // files first, so that their folders are empty
    for (int slot = 0; slot < CLEANUP_SLOTS; ++slot) {
      if (!g_used[slot] || (g_is_folder[slot] != 0) != (pass == 1)) continue;
      if (pass == 0) unlink(g_paths[slot]);
      else rmdir(g_paths[slot]);
    }
  }
  if (g_progress_line) {
    const ssize_t ignored = write(STDERR_FILENO, CLEAR_LINE, sizeof CLEAR_LINE - 1);
    (void)ignored;
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Installed once, on first use: with nothing registered it only passes the signal on.
void install_handler() {
  if (g_installed) return;
  g_installed = true;
  for (int signal_number : CLEANUP_SIGNALS) std::signal(signal_number, cleanup_on_signal);
}

}  // namespace

int cleanup_add(const std::string& path, bool folder) {
  if (path.size() >= CLEANUP_PATH_CAPACITY) return -1;
  for (int slot = 0; slot < CLEANUP_SLOTS; ++slot) {
    if (g_used[slot]) continue;
    std::memcpy(g_paths[slot], path.c_str(), path.size() + 1);
    g_is_folder[slot] = folder ? 1 : 0;
    g_used[slot] = 1;
    install_handler();
    return slot;
  }
  return -1;
}

void cleanup_remove(int slot) {
  if (slot >= 0 && slot < CLEANUP_SLOTS) g_used[slot] = 0;
}

void cleanup_progress_line(bool on_screen) {
  if (on_screen) install_handler();
  g_progress_line = on_screen ? 1 : 0;
}

sigset_t cleanup_block_signals() {
  sigset_t block;
  sigset_t previous;
  sigemptyset(&block);
  for (int signal_number : CLEANUP_SIGNALS) sigaddset(&block, signal_number);
  sigprocmask(SIG_BLOCK, &block, &previous);
  return previous;
}

void cleanup_restore_signals(const sigset_t& previous) { sigprocmask(SIG_SETMASK, &previous, nullptr); }
