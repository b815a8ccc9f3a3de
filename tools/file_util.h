#pragma once
// File helpers of orvinta-pack (POSIX host): whole-file reads, complete writes,
// folder listings and an output file that appears under its final name only when done.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads the whole file; on failure returns false with a reason in *error.
bool file_read_all(const char* path, std::vector<unsigned char>* data, std::string* error);

// Writes every byte, retrying short writes; false on any failure (errno tells why).
bool fd_write_all(int fd, const void* data, std::size_t size);

// The names in a folder (without "." and ".."), sorted bytewise.
bool folder_list(const char* path, std::vector<std::string>* names, std::string* error);

// Creates a folder and any missing parents; true when it exists afterwards.
bool folder_create_all(const char* path, std::string* error);

// The part behind the last "/", and the part in front of it ("." when there is none).
std::string path_base_name(const std::string& path);
std::string path_folder(const std::string& path);
std::string path_join(const std::string& folder, const std::string& name);

// "<what> <path>: <strerror(errno)>", the usual form of an I/O error message.
std::string io_error(const char* what, const std::string& path);

// An output file written under a temporary name in the final file's folder and renamed
// into place by temp_commit. Until then an interrupt (SIGINT, SIGTERM, SIGHUP) or
// temp_discard removes it, so a failed run never leaves a partial file behind. Two may
// be open at once (an output and its signed copy).
struct TempOutput {
  std::string final_path;
  std::string temp_path;
  int fd;
  int pending_slot;  // where the signal handler keeps temp_path, -1 when it does not
};

bool temp_create(TempOutput* out, const std::string& final_path, std::string* error);
// Closes the file, gives it the usual permissions (0666 less the umask) and renames it.
bool temp_commit(TempOutput* out, std::string* error);
// Closes and removes the temporary file; safe to call more than once.
void temp_discard(TempOutput* out);
