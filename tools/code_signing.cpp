// Signing and signature checks of finished installers by running osslsigncode as a
// child process: its arguments passed as a list (never through a shell), its input from
// /dev/null so that it can never wait for a passphrase, its report collected and cut
// down to the lines that say what went wrong. The signing time comes from
// SOURCE_DATE_EPOCH, so that a signed build can be reproduced. The file to be signed is
// never changed: the signed copy is a new file.

#include "tools/code_signing.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/cli.h"

extern char** environ;

namespace {

constexpr char DEFAULT_SIGNER[] = "osslsigncode";
constexpr char SIGNER_VARIABLE[] = "ORVINTA_OSSLSIGNCODE";
constexpr int EXIT_NOT_STARTED = -1;

std::string signer_program() {
  const char* chosen = std::getenv(SIGNER_VARIABLE);
  return chosen != nullptr && *chosen != '\0' ? chosen : DEFAULT_SIGNER;
}

// Runs the program with its stdout and stderr collected into *output. Returns its exit
// code, or EXIT_NOT_STARTED (with the reason in *output) when it could not run or died
// from a signal.
int run_collecting(const std::vector<std::string>& arguments, std::string* output) {
  output->clear();
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) {
    *output = std::string("cannot create a pipe: ") + std::strerror(errno);
    return EXIT_NOT_STARTED;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (spawned != 0) {
    close(pipe_ends[0]);
    *output = "cannot run " + arguments[0] + ": " + std::strerror(spawned);
    return EXIT_NOT_STARTED;
  }
  char block[4096];
  for (;;) {
    const ssize_t got = read(pipe_ends[0], block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output->append(block, static_cast<std::size_t>(got));
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      *output += "\nlost track of " + arguments[0];
      return EXIT_NOT_STARTED;
    }
  }
  if (!WIFEXITED(status)) {
    *output += "\n" + arguments[0] + " was ended by signal " + std::to_string(WTERMSIG(status));
    return EXIT_NOT_STARTED;
  }
  return WEXITSTATUS(status);
}

// The lines of osslsigncode's report that say what went wrong; the whole report when
// none of them does.
std::string failure_lines(const std::string& report) {
  static constexpr const char* MARKERS[] = {"MISMATCH", "failed", "Failed to", "error", "Error",
                                            "not supported", "No signature", "Unable", "invalid"};
  std::string picked;
  std::size_t start = 0;
  while (start < report.size()) {
    std::size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    const std::string line = report.substr(start, end - start);
    for (const char* marker : MARKERS) {
      if (line.find(marker) != std::string::npos) {
        picked += "\n  " + line;
        break;
      }
    }
    start = end + 1;
  }
  return picked.empty() ? "\n" + report : picked;
}

}  // namespace

bool sign_file(const SignOptions& options, const std::string& input, const std::string& output,
               std::string* error) {
  std::vector<std::string> arguments = {signer_program(), "sign", "-certs", options.certificate,
                                        "-key", options.key, "-h", "sha256"};
  if (!options.timestamp_url.empty()) {
    arguments.insert(arguments.end(), {"-ts", options.timestamp_url});
  }
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch != '\0') {
    long long seconds = 0;
    if (!cli_number(epoch, 0, INT64_MAX, &seconds)) {
      *error = std::string("SOURCE_DATE_EPOCH=") + epoch + " is not a number of seconds";
      return false;
    }
    arguments.insert(arguments.end(), {"-time", std::to_string(seconds)});
  }
  arguments.insert(arguments.end(), {"-in", input, "-out", output});
  std::string report;
  const int code = run_collecting(arguments, &report);
  if (code == 0) return true;
  *error = code == EXIT_NOT_STARTED ? report : "signing failed:" + failure_lines(report);
  return false;
}

bool verify_signature(const std::string& path, const std::string& ca_file, std::string* error) {
  std::vector<std::string> arguments = {signer_program(), "verify", "-in", path};
  if (!ca_file.empty()) arguments.insert(arguments.end(), {"-CAfile", ca_file});
  std::string report;
  const int code = run_collecting(arguments, &report);
  if (code == 0) return true;
  *error = code == EXIT_NOT_STARTED ? report : "the signature does not verify:" + failure_lines(report);
  return false;
}
