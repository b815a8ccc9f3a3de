// libFuzzer target for orvinta-pack's handling of an installer it is given: the input is
// written to a file, which list, verify and extract (tools/commands.h) then take in
// process, as they take an untrusted download: the PE headers and the version block,
// the certificate table and its PKCS#7 signer, the archive walk, the names, every
// extraction, the end of the archive, the JSON report (for inputs of odd length).
//
// extract writes into a scratch folder; afterwards the folder that holds it and the
// installer must hold nothing else, the installer must be unchanged, and the scratch
// folder nothing but regular files: no link, no folder, nothing written through a name.
// The scratch folders live in /dev/shm (or TMPDIR) and go when the target exits normally;
// an interrupted or crashed run leaves its own behind.
//
// Whether a signature holds is osslsigncode's verdict, another program's: verify runs
// ORVINTA_OSSLSIGNCODE, which this target sets to "true" unless it is set already, so
// that signed inputs go on to the walk without the real check. The tool's messages go
// to /dev/null through the C streams; the sanitizers still report on descriptor 2.

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/commands.h"

namespace {

constexpr char INSTALLER_NAME[] = "setup.exe";
constexpr char FOLDER_NAME[] = "out";

std::string g_root;     // private to this process
std::string g_parent;   // root/parent: the installer and the extraction folder, nothing else
std::string g_installer;
std::string g_folder;

std::vector<std::string> names_in(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return names;
  while (const dirent* item = readdir(folder)) {
    if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) names.push_back(item->d_name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

int remove_item(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }

void remove_tree(const std::string& path) { nftw(path.c_str(), remove_item, 16, FTW_DEPTH | FTW_PHYS); }

void remove_root() { remove_tree(g_root); }

bool write_installer(const std::uint8_t* data, std::size_t size) {
  const int fd = open(g_installer.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
  return close(fd) == 0 && written;
}

bool installer_unchanged(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> now(size + 1);
  const int fd = open(g_installer.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t have = 0;
  ssize_t got = 0;
  while (have < now.size() && (got = read(fd, now.data() + have, now.size() - have)) > 0) {
    have += static_cast<std::size_t>(got);
  }
  close(fd);
  return have == size && std::equal(data, data + size, now.begin());
}

// Only regular files, each reached by its own name in the folder itself.
bool folder_holds_only_files(const std::string& path) {
  for (const std::string& name : names_in(path)) {
    struct stat info {};
    if (lstat((path + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  std::string pattern = std::string(base) + "/pack_inspect_fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) std::abort();
  g_root = pattern;
  std::atexit(remove_root);
  g_parent = g_root + "/parent";
  g_installer = g_parent + "/" + INSTALLER_NAME;
  g_folder = g_parent + "/" + FOLDER_NAME;
  if (mkdir(g_parent.c_str(), 0700) != 0) std::abort();
  setenv("ORVINTA_OSSLSIGNCODE", "true", 0);
  FILE* quiet = std::fopen("/dev/null", "w");
  if (quiet == nullptr) std::abort();
  stdout = quiet;
  stderr = quiet;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!write_installer(data, size)) std::abort();
  InspectOptions options{};
  options.allow_x86_64_test_stub = true;
  options.json = (size & 1) != 0;
  list_installer(g_installer.c_str(), options);
  verify_installer(g_installer.c_str(), options);
  extract_installer(g_installer.c_str(), g_folder.c_str(), options);

  // Nothing may appear beside the installer and the extraction folder, or above them.
  const std::vector<std::string> beside = names_in(g_parent);
  const bool folder_made = std::find(beside.begin(), beside.end(), FOLDER_NAME) != beside.end();
  const std::vector<std::string> expected =
      folder_made ? std::vector<std::string>{FOLDER_NAME, INSTALLER_NAME} : std::vector<std::string>{INSTALLER_NAME};
  if (beside != expected) std::abort();
  if (names_in(g_root) != std::vector<std::string>{"parent"}) std::abort();
  if (!installer_unchanged(data, size)) std::abort();
  if (folder_made && !folder_holds_only_files(g_folder)) std::abort();
  remove_tree(g_folder);
  return 0;
}
