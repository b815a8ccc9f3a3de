// Signing and signature checks of finished installers by running osslsigncode as a
// child process: its arguments passed as a list (never through a shell), its standard
// input either /dev/null, so that it can never wait for a passphrase, or a pipe that
// carries the passphrase, which therefore never appears in an argument list or in its
// environment. Its report is collected and shown only on request. The signing time comes
// from SOURCE_DATE_EPOCH, so that a signed build can be reproduced. The file to be
// signed is never changed: the signed copy is a new file.

#include "tools/code_signing.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/cli.h"
#include "tools/file_util.h"

extern char** environ;

namespace {

constexpr char DEFAULT_SIGNER[] = "osslsigncode";
constexpr char SIGNER_VARIABLE[] = "ORVINTA_OSSLSIGNCODE";
constexpr int EXIT_NOT_STARTED = -1;

// Runs the program with its stdout and stderr collected into *output and input (when
// not null) written to its standard input through a pipe. Returns its exit code, or
// EXIT_NOT_STARTED (with the reason in *output) when it could not run or died from a signal.
int run_collecting(const std::vector<std::string>& arguments, const std::string* input, std::string* output,
                   const std::string& hidden_variable = std::string()) {
  output->clear();
  int pipe_ends[2];
  int input_ends[2] = {-1, -1};
  if (pipe(pipe_ends) != 0 || (input != nullptr && pipe(input_ends) != 0)) {
    *output = std::string("cannot create a pipe: ") + std::strerror(errno);
    return EXIT_NOT_STARTED;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, input_ends[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, input_ends[0]);
    posix_spawn_file_actions_addclose(&actions, input_ends[1]);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
  pid_t child = 0;
  // The child does not inherit the variable that holds a passphrase: it reads that from
  // the pipe, and its environment stays free of it.
  std::vector<char*> environment;
  const std::string hidden_prefix = hidden_variable + "=";
  for (char** setting = environ; *setting != nullptr; ++setting) {
    if (hidden_variable.empty() || std::strncmp(*setting, hidden_prefix.c_str(), hidden_prefix.size()) != 0) {
      environment.push_back(*setting);
    }
  }
  environment.push_back(nullptr);
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (input != nullptr) {
    close(input_ends[0]);
    // A passphrase is far smaller than a pipe's buffer: the write cannot block on a child
    // that reads it only later. A child that ends first makes it fail, which is harmless.
    if (spawned == 0) {
      const sighandler_t previous = std::signal(SIGPIPE, SIG_IGN);
      fd_write_all(input_ends[1], input->data(), input->size());
      std::signal(SIGPIPE, previous);
    }
    close(input_ends[1]);
  }
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

// What osslsigncode's verify report says went wrong, in the tool's words.
std::string verify_failure(const std::string& report) {
  if (report.find("MISMATCH") != std::string::npos) {
    return "the file was changed after it was signed: its digest no longer matches the signature";
  }
  if (report.find("certificate has expired") != std::string::npos) {
    return "the signer's certificate has expired";
  }
  if (report.find("self-signed certificate") != std::string::npos ||
      report.find("unable to get local issuer certificate") != std::string::npos ||
      report.find("unable to get issuer certificate") != std::string::npos) {
    return "the signer's certificate does not lead to a trusted certificate authority "
           "(for a test certificate, name it with --ca-file)";
  }
  if (report.find("No signature found") != std::string::npos) return "osslsigncode finds no signature in it";
  return "osslsigncode rejects the signature";
}

}  // namespace

bool sign_requested(const SignOptions& options) {
  return !options.certificate.empty() || !options.key.empty() || !options.pkcs12.empty();
}

std::string signer_program() {
  const char* chosen = std::getenv(SIGNER_VARIABLE);
  return chosen != nullptr && *chosen != '\0' ? chosen : DEFAULT_SIGNER;
}

bool signer_runs(const std::string& hidden_variable, std::string* error) {
  std::string report;
  const int code = run_collecting({signer_program(), "--version"}, nullptr, &report, hidden_variable);
  if (code == 0) return true;
  if (code == EXIT_NOT_STARTED) {
    *error = report + " (Debian package osslsigncode)";
  } else {
    *error = signer_program() + " --version ends with exit code " + std::to_string(code) +
             ": it is not a working osslsigncode";
  }
  return false;
}

bool sign_file(const SignOptions& options, bool have_passphrase, const std::string& passphrase,
               const std::string& input, const std::string& output, std::string* error,
               std::string* report) {
  std::vector<std::string> arguments = {signer_program(), "sign"};
  if (!options.pkcs12.empty()) {
    arguments.insert(arguments.end(), {"-pkcs12", options.pkcs12});
  } else {
    arguments.insert(arguments.end(), {"-certs", options.certificate, "-key", options.key});
  }
  if (have_passphrase) arguments.insert(arguments.end(), {"-readpass", "-"});
  arguments.insert(arguments.end(), {"-h", "sha256"});
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
  const int code = run_collecting(arguments, have_passphrase ? &passphrase : nullptr, report, options.pass_env);
  if (code == 0) return true;
  if (code == EXIT_NOT_STARTED) {
    *error = *report;
  } else if (!options.timestamp_url.empty() && report->find("imestamp") != std::string::npos) {
    *error = "signing failed: the time-stamping server " + options.timestamp_url + " did not answer with a time stamp";
  } else {
    *error = "signing failed: osslsigncode ended with exit code " + std::to_string(code);
  }
  return false;
}

bool verify_signature(const std::string& path, const std::string& ca_file, std::string* error,
                      std::string* report) {
  std::vector<std::string> arguments = {signer_program(), "verify", "-in", path};
  if (!ca_file.empty()) arguments.insert(arguments.end(), {"-CAfile", ca_file});
  const int code = run_collecting(arguments, nullptr, report);
  if (code == 0) return true;
  *error = code == EXIT_NOT_STARTED ? *report : "the signature does not verify: " + verify_failure(*report);
  return false;
}
