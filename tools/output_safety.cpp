// Checks of build's output path against what the build reads.

#include "tools/output_safety.h"

#include <sys/stat.h>

#include "tools/file_util.h"

namespace {

const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

bool guard_add(std::vector<GuardedFile>* guarded, const char* role, const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  guarded->push_back(GuardedFile{role, path, info.st_dev, info.st_ino, S_ISDIR(info.st_mode)});
  return true;
}

std::string output_problem(const std::string& out, const std::vector<GuardedFile>& guarded) {
  struct stat link {};
  if (lstat(out.c_str(), &link) == 0) {
    // The finished file is renamed over the name itself: over a symbolic link, not through
    // it. What the link leads to still counts for the identity checks below.
    struct stat target {};
    const bool is_link = S_ISLNK(link.st_mode);
    const bool resolved = !is_link || stat(out.c_str(), &target) == 0;
    const struct stat& item = is_link ? target : link;
    if (!is_link && !S_ISREG(link.st_mode)) {
      return "--out " + out + " is " + kind_of(link.st_mode) +
             ", not a regular file; an installer only ever replaces a regular file";
    }
    for (const GuardedFile& file : guarded) {
      if (!resolved || file.folder || file.device != item.st_dev || file.inode != item.st_ino) continue;
      return "--out " + out + " is " + file.role + " " + file.path +
             (out == file.path ? "" : " under another name") + "; building would replace it";
    }
  }
  struct stat parent {};
  const std::string folder = path_folder(out);
  if (stat(folder.c_str(), &parent) != 0) return std::string();  // reported when the output is created
  for (const GuardedFile& file : guarded) {
    if (file.folder && file.device == parent.st_dev && file.inode == parent.st_ino) {
      return "--out " + out + " lies inside the folder " + file.path +
             " that is being packed; the next build would pack the installer into itself";
    }
  }
  return std::string();
}
