#pragma once
// Runs a program with arguments and collects its exit code, stdout and stderr; makes and
// removes scratch folders. For the tests that drive orvinta-pack as a user would.

#include <string>
#include <utility>
#include <vector>

struct RunResult {
  int exit_code;  // -1 when the program could not be started or did not exit normally
  std::string out;
  std::string err;
};

// env: extra NAME=VALUE settings (or "NAME=" with an empty value) on top of the test's own.
RunResult run_program(const std::vector<std::string>& argv,
                      const std::vector<std::string>& env = {});

// A fresh folder below base (TMPDIR or /tmp when empty), removed with everything in it
// when the object goes.
struct ScratchFolder {
  std::string path;
  explicit ScratchFolder(const std::string& base = "");
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Names in a folder, sorted; empty when it cannot be read.
std::vector<std::string> folder_names(const std::string& path);
