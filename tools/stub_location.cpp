// Finding the installed stub from the tool's own executable.

#include "tools/stub_location.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "tools/file_util.h"
#include "tools/pack_message.h"

// The build defines where the stub is installed, relative to the tool's folder.
#ifndef ORVINTA_STUB_FROM_TOOL
#error "ORVINTA_STUB_FROM_TOOL, the stub's path relative to the tool's folder, comes from the build"
#endif

namespace {

constexpr const char STUB_FROM_TOOL[] = ORVINTA_STUB_FROM_TOOL;
constexpr std::size_t LINK_TARGET_MAX = 65536;

// The kernel names the executable by its resolved path, free of links and of "." and ".."
// parts, so ".." in the relative part can be taken off lexically.
std::string path_resolve(const std::string& folder, const std::string& relative) {
  std::vector<std::string> parts;
  const std::string joined = folder + "/" + relative;
  std::size_t pos = 0;
  while (pos <= joined.size()) {
    std::size_t slash = joined.find('/', pos);
    if (slash == std::string::npos) slash = joined.size();
    const std::string part = joined.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

bool own_executable(std::string* path, std::string* error) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t got = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (got < 0) {
      *error = "cannot tell where the tool is installed (" + io_error("cannot read", "/proc/self/exe") + ")";
      return false;
    }
    if (static_cast<std::size_t>(got) < buffer.size()) {
      path->assign(buffer.data(), static_cast<std::size_t>(got));
      return true;
    }
    if (buffer.size() >= LINK_TARGET_MAX) {
      *error = "cannot tell where the tool is installed (its path is too long)";
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

bool stub_installed_path(std::string* path, std::string* error) {
  std::string executable;
  if (!own_executable(&executable, error)) return false;
  *path = path_resolve(path_folder(executable), STUB_FROM_TOOL);
  return true;
}

bool stub_choose(const std::string& given, std::string* stub) {
  if (!given.empty()) {
    *stub = given;
    return true;
  }
  std::string installed;
  std::string error;
  if (!stub_installed_path(&installed, &error)) {
    pack_error("no --stub given, and %s", error.c_str());
    return false;
  }
  // Only a missing file means "not installed"; any other problem with it is reported
  // by the stub checks, naming the file.
  struct stat info {};
  if (stat(installed.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    pack_error("no --stub given and no stub installed with this tool at %s; pass one with --stub STUB.exe",
               installed.c_str());
    return false;
  }
  *stub = installed;
  return true;
}
