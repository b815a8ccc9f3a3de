#include "tests/install_core/sandbox.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string host_path(const char* path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

int sandbox_remove_file(void* context, const char* path) {
  Sandbox& sandbox = *static_cast<Sandbox*>(context);
  if (!sandbox_path_inside(sandbox.destination, path)) {
    sandbox.escaped = true;
    return -1;
  }
  return std::remove(host_path(path).c_str());
}

FILE* sandbox_create_file(void* context, const char* path) {
  Sandbox& sandbox = *static_cast<Sandbox*>(context);
  sandbox.created.push_back(path);
  if (!sandbox_path_inside(sandbox.destination, path)) {
    sandbox.escaped = true;
    return nullptr;
  }
  return std::fopen(host_path(path).c_str(), "wb");
}

}  // namespace

bool sandbox_create(Sandbox& sandbox) {
  // A memory-backed folder where there is one: the sweeps create and delete files tens of
  // thousands of times.
  std::error_code error;
  fs::path base = "/dev/shm";
  if (!fs::is_directory(base, error) || access(base.c_str(), W_OK) != 0) base = fs::temp_directory_path(error);
  if (error) return false;
  std::string pattern = (base / "orvinta-install-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return false;
  sandbox.root = pattern;
  sandbox.destination = sandbox.root + "/dest";
  sandbox_reset(sandbox);
  return fs::is_directory(sandbox.destination);
}

void sandbox_reset(Sandbox& sandbox) {
  std::error_code error;
  fs::remove_all(sandbox.destination, error);
  fs::create_directory(sandbox.destination, error);
  sandbox.created.clear();
  sandbox.escaped = false;
}

void sandbox_remove(Sandbox& sandbox) {
  std::error_code error;
  if (!sandbox.root.empty()) fs::remove_all(sandbox.root, error);
}

EntryFileOps sandbox_ops(Sandbox& sandbox) {
  return EntryFileOps{&sandbox, sandbox_remove_file, sandbox_create_file};
}

bool sandbox_path_inside(const std::string& destination, const std::string& path) {
  const std::string joined = host_path(path.c_str());
  if (joined.compare(0, destination.size(), destination) != 0) return false;
  if (joined.size() == destination.size() || joined[destination.size()] != '/') return false;
  // Walk the parts behind the destination; a drive or stream colon counts as leaving it.
  int depth = 0;
  std::size_t start = destination.size() + 1;
  while (start <= joined.size()) {
    std::size_t end = joined.find('/', start);
    if (end == std::string::npos) end = joined.size();
    const std::string part = joined.substr(start, end - start);
    if (part.find(':') != std::string::npos) return false;
    const std::string trimmed = part.substr(0, part.find_last_not_of(". ") + 1);
    if (!part.empty() && trimmed.empty() && part.find("..") != std::string::npos) {
      if (--depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return depth > 0;
}

std::vector<std::string> sandbox_outside_files(const Sandbox& sandbox) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::recursive_directory_iterator it(sandbox.root, error), end; !error && it != end; it.increment(error)) {
    const std::string path = it->path().string();
    if (path == sandbox.destination) {
      it.disable_recursion_pending();
      continue;
    }
    found.push_back(path.substr(sandbox.root.size()));
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<std::string> sandbox_destination_files(const Sandbox& sandbox) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(sandbox.destination, error), end; !error && it != end; it.increment(error)) {
    found.push_back(it->path().filename().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}
