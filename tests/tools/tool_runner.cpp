// Process and folder helpers of the tool tests (POSIX).

#include "tests/tools/tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string read_all(int fd) {
  std::string text;
  char block[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t got = 0;
  while ((got = read(fd, block, sizeof block)) > 0) text.append(block, static_cast<std::size_t>(got));
  return text;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }

}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  RunResult result{-1, "", ""};
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) return result;
  const pid_t child = fork();
  if (child == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    for (const std::string& setting : env) {
      const std::size_t eq = setting.find('=');
      setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  result.out = read_all(fileno(out));
  result.err = read_all(fileno(err));
  std::fclose(out);
  std::fclose(err);
  return result;
}

ScratchFolder::ScratchFolder(const std::string& base) {
  std::string root = base;
  if (root.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    root = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  }
  std::string pattern = root + "/pack-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path = buffer.data();
}

ScratchFolder::~ScratchFolder() {
  if (!path.empty()) nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return names;
  while (const dirent* item = readdir(folder)) {
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) {
      names.push_back(item->d_name);
    }
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}
