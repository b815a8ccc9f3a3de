#pragma once
// File helpers of orvinta-pack (POSIX host): whole-file reads, complete writes,
// folder listings and an output file that appears under its final name only when done.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The buffer the tool gives its FILE streams (archive input, extracted output): the
// reader works in headers and 8192-byte chunks and hands over runs of up to 32 KiB,
// which a buffer this large turns into few large reads and writes. glibc takes the size
// only with a buffer of the caller's, so each stream is given one of this size.
constexpr std::size_t STREAM_BUFFER_SIZE = 1 << 18;

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

// An output written inside a private folder (mode 0700, made by mkdtemp beside the final
// name, so on the same file system) and renamed into place by temp_commit. Nothing but
// this process can create or replace anything in that folder, so neither the output nor
// the signed copy that osslsigncode creates there can clobber another file. Until the
// commit an interrupt (SIGINT, SIGTERM, SIGHUP) or temp_discard removes both files and
// the folder, so a failed run never leaves a partial file behind.
struct TempOutput {
  std::string final_path;
  std::string folder;       // the private folder; empty when none was made
  std::string temp_path;    // the unsigned output inside it, open as fd
  std::string signed_path;  // the signed copy's name inside it, once reserved
  int fd;
  int folder_slot;          // cleanup slots (tools/interrupt_cleanup.h), -1 when none
  int temp_slot;
  int signed_slot;
};

bool temp_create(TempOutput* out, const std::string& final_path, std::string* error);
// Names the signed copy inside the folder (not created: the signer creates it).
void temp_reserve_signed(TempOutput* out);
// Gives the finished file (the signed copy when one was reserved) the usual permissions
// (0666 less the umask), renames it to the final name and removes the rest.
bool temp_commit(TempOutput* out, std::string* error);
// Closes and removes everything temporary; safe to call more than once.
void temp_discard(TempOutput* out);
