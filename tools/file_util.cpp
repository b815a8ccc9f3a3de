// POSIX file helpers of orvinta-pack.

#include "tools/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

// The temporary files being written, for the signal handler: the output, and while it
// is signed, the signed copy beside it.
constexpr std::size_t SIGNAL_PATH_CAPACITY = 4096;
constexpr int PENDING_SLOTS = 2;
char g_pending_temp[PENDING_SLOTS][SIGNAL_PATH_CAPACITY];
volatile std::sig_atomic_t g_pending_set[PENDING_SLOTS] = {0, 0};

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// How much more than its size a whole-file read looks for, in case the file grew.
constexpr std::size_t READ_GROWTH = 65536;

extern "C" void remove_pending_temp(int signal_number) {
  for (int slot = 0; slot < PENDING_SLOTS; ++slot) {
    if (g_pending_set[slot]) unlink(g_pending_temp[slot]);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Remembers path in a free slot and returns the slot, or -1 when the path is too long or
// every slot is taken (the file is then left to temp_discard).
int set_pending(const std::string& path) {
  if (path.size() >= SIGNAL_PATH_CAPACITY) return -1;
  for (int slot = 0; slot < PENDING_SLOTS; ++slot) {
    if (g_pending_set[slot]) continue;
    std::memcpy(g_pending_temp[slot], path.c_str(), path.size() + 1);
    g_pending_set[slot] = 1;
    for (int signal_number : CLEANUP_SIGNALS) std::signal(signal_number, remove_pending_temp);
    return slot;
  }
  return -1;
}

void clear_pending(int slot) {
  if (slot < 0) return;
  g_pending_set[slot] = 0;
  for (int other = 0; other < PENDING_SLOTS; ++other) {
    if (g_pending_set[other]) return;
  }
  for (int signal_number : CLEANUP_SIGNALS) std::signal(signal_number, SIG_DFL);
}

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
  out->final_path = final_path;
  out->temp_path = path_join(path_folder(final_path), "." + path_base_name(final_path) + ".XXXXXX");
  std::vector<char> pattern(out->temp_path.begin(), out->temp_path.end());
  pattern.push_back('\0');
  // The cleanup signals wait until the handler knows the file's name: one arriving between
  // the creation and set_pending would otherwise leave the file behind.
  sigset_t cleanup_set;
  sigset_t previous;
  sigemptyset(&cleanup_set);
  for (int signal_number : CLEANUP_SIGNALS) sigaddset(&cleanup_set, signal_number);
  sigprocmask(SIG_BLOCK, &cleanup_set, &previous);
  out->fd = mkstemp(pattern.data());
  const int saved_errno = errno;
  out->pending_slot = -1;
  if (out->fd >= 0) {
    out->temp_path = pattern.data();
    out->pending_slot = set_pending(out->temp_path);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (out->fd < 0) {
    errno = saved_errno;
    *error = io_error("cannot create a temporary file beside", final_path);
    out->temp_path.clear();
    return false;
  }
  return true;
}

bool temp_commit(TempOutput* out, std::string* error) {
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(out->fd, 0666 & ~mask) != 0) {
    *error = io_error("cannot set the permissions of", out->temp_path);
    temp_discard(out);
    return false;
  }
  const int fd = out->fd;
  out->fd = -1;
  if (close(fd) != 0) {
    *error = io_error("cannot write", out->temp_path);
    temp_discard(out);
    return false;
  }
  if (rename(out->temp_path.c_str(), out->final_path.c_str()) != 0) {
    *error = io_error("cannot rename the finished file to", out->final_path);
    temp_discard(out);
    return false;
  }
  out->temp_path.clear();
  clear_pending(out->pending_slot);
  out->pending_slot = -1;
  return true;
}

void temp_discard(TempOutput* out) {
  if (out->fd >= 0) close(out->fd);
  out->fd = -1;
  if (!out->temp_path.empty()) unlink(out->temp_path.c_str());
  out->temp_path.clear();
  clear_pending(out->pending_slot);
  out->pending_slot = -1;
}
