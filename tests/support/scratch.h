#pragma once
// Helpers of the Windows tests: a private folder under the temporary folder, files made
// and read through Win32 directly (not through the code under test), text conversions.

#include <windows.h>

#include <cstdint>
#include <string>

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// "C:\a\b" -> "C:/a/b".
std::string with_forward_slashes(std::string path);

bool write_file_w(const std::wstring& path, const std::string& content);
// Empty when the file cannot be read.
std::string read_file_w(const std::wstring& path);
bool exists_w(const std::wstring& path);
// A file of the given size that occupies (almost) no disk: marked sparse where the file
// system allows it, and only its end set.
bool make_sparse_file_w(const std::wstring& path, std::uint64_t size);
// Sets all three times of a file or folder.
bool set_times_w(const std::wstring& path, FILETIME creation, FILETIME access, FILETIME write);
// Removes a tree, read-only items included; for cleaning up only.
void remove_tree_w(const std::wstring& path);

// Path of the running program and the folder it lies in (with a trailing "\").
std::wstring own_path();
std::wstring own_folder();

bool running_under_wine();

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class ScratchFolder {
 public:
  explicit ScratchFolder(const wchar_t* tag);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool ok() const { return ok_; }
  // Folder path with a trailing "\", and a path inside it, both as UTF-16 and UTF-8.
  const std::wstring& wide() const { return wide_; }
  const std::string& utf8() const { return utf8_; }
  std::wstring wide(const std::wstring& name) const { return wide_ + name; }
  std::string utf8(const std::string& name) const { return utf8_ + name; }

 private:
  std::wstring wide_;
  std::string utf8_;
  bool ok_ = false;
};
