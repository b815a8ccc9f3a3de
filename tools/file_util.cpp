// POSIX file helpers of orvinta-pack.

#include "tools/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/interrupt_cleanup.h"

namespace {

constexpr char UNSIGNED_NAME[] = "unsigned.exe";
constexpr char SIGNED_NAME[] = "signed.exe";
// How much more than its size a whole-file read looks for, in case the file grew.
constexpr std::size_t READ_GROWTH = 65536;

}  // namespace

std::string io_error(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool file_read_all(const char* path, std::vector<unsigned char>* data, std::string* error) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = io_error("cannot open", path);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    *error = io_error("cannot read", path);
    close(fd);
    return false;
  }
  data->clear();
  // Room for the probe read behind the expected end, so that finding the end does not
  // move (and for a moment double) the whole file.
  data->reserve(static_cast<std::size_t>(info.st_size) + READ_GROWTH);
  data->resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  for (;;) {
    if (done == data->size()) data->resize(done + READ_GROWTH);  // the file may have grown
    const ssize_t got = read(fd, data->data() + done, data->size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = io_error("cannot read", path);
      close(fd);
      return false;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  data->resize(done);
  close(fd);
  return true;
}

bool fd_write_all(int fd, const void* data, std::size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t put = write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool folder_list(const char* path, std::vector<std::string>* names, std::string* error) {
  DIR* folder = opendir(path);
  if (folder == nullptr) {
    *error = io_error("cannot list folder", path);
    return false;
  }
  names->clear();
  errno = 0;
  while (const dirent* item = readdir(folder)) {
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) {
      names->push_back(item->d_name);
    }
  }
  const bool ok = errno == 0;
  if (!ok) *error = io_error("cannot list folder", path);
  closedir(folder);
  std::sort(names->begin(), names->end());
  return ok;
}

bool folder_create_all(const char* path, std::string* error) {
  std::string partial;
  const std::string full = path;
  std::size_t pos = 0;
  while (pos <= full.size()) {
    std::size_t slash = full.find('/', pos);
    if (slash == std::string::npos) slash = full.size();
    partial = full.substr(0, slash);
    pos = slash + 1;
    if (partial.empty() || partial == "." || partial == "..") continue;
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = io_error("cannot create folder", partial);
      return false;
    }
  }
  struct stat info {};
  if (stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
    if (errno == 0) errno = ENOTDIR;
    *error = io_error("cannot create folder", path);
    return false;
  }
  return true;
}

std::string path_base_name(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string path_folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string path_join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool temp_create(TempOutput* out, const std::string& final_path, std::string* error) {
  *out = TempOutput{final_path, "", "", "", -1, -1, -1, -1};
  std::string pattern = path_join(path_folder(final_path), "." + path_base_name(final_path) + ".XXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  // The signals wait until the handler knows each new name: one arriving between the
  // creation and the registration would otherwise leave it behind.
  const sigset_t previous = cleanup_block_signals();
  const bool made = mkdtemp(buffer.data()) != nullptr;
  int saved_errno = errno;
  if (made) {
    out->folder = buffer.data();
    out->folder_slot = cleanup_add(out->folder, true);
    out->temp_path = path_join(out->folder, UNSIGNED_NAME);
    out->fd = open(out->temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    saved_errno = errno;
    if (out->fd >= 0) out->temp_slot = cleanup_add(out->temp_path, false);
  }
  cleanup_restore_signals(previous);
  if (out->fd < 0) {
    errno = saved_errno;
    *error = io_error("cannot create a temporary file beside", final_path);
    temp_discard(out);
    return false;
  }
  return true;
}

void temp_reserve_signed(TempOutput* out) {
  out->signed_path = path_join(out->folder, SIGNED_NAME);
  out->signed_slot = cleanup_add(out->signed_path, false);
}

bool temp_commit(TempOutput* out, std::string* error) {
  const mode_t mask = umask(0);
  umask(mask);
  const std::string& finished = out->signed_path.empty() ? out->temp_path : out->signed_path;
  if (chmod(finished.c_str(), 0666 & ~mask) != 0) {
    *error = io_error("cannot set the permissions of", finished);
    temp_discard(out);
    return false;
  }
  if (out->fd >= 0) {
    const int fd = out->fd;
    out->fd = -1;
    if (close(fd) != 0) {
      *error = io_error("cannot write", out->temp_path);
      temp_discard(out);
      return false;
    }
  }
  if (rename(finished.c_str(), out->final_path.c_str()) != 0) {
    *error = io_error("cannot rename the finished file to", out->final_path);
    temp_discard(out);
    return false;
  }
  if (&finished == &out->signed_path) {
    cleanup_remove(out->signed_slot);
    out->signed_slot = -1;
    out->signed_path.clear();
  } else {
    cleanup_remove(out->temp_slot);
    out->temp_slot = -1;
    out->temp_path.clear();
  }
  temp_discard(out);
  return true;
}

void temp_discard(TempOutput* out) {
  if (out->fd >= 0) close(out->fd);
  out->fd = -1;
  for (std::string* path : {&out->temp_path, &out->signed_path}) {
    if (!path->empty()) unlink(path->c_str());
    path->clear();
  }
  if (!out->folder.empty()) rmdir(out->folder.c_str());
  out->folder.clear();
  for (int* slot : {&out->temp_slot, &out->signed_slot, &out->folder_slot}) {
    cleanup_remove(*slot);
    *slot = -1;
  }
}
