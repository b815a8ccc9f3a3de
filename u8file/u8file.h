#pragma once
// File operations on zero-terminated UTF-8 paths in which "/" and "\" both separate
// parts. Each converts its arguments into fixed buffers of its own and calls exactly
// one wide-character function of the C library or of Win32, passing its result back.
// A path too long for those buffers fails with the operation's ordinary failure result.

#include <windows.h>

#include <cstdint>
#include <cstdio>

// The C library's _stat64i32 record, field for field, so that _wstat64i32 fills it directly.
struct Utf8Stat {
  std::uint32_t st_dev;
  std::uint16_t st_ino;
  std::uint16_t st_mode;
  std::int16_t st_nlink;
  std::int16_t st_uid;
  std::int16_t st_gid;
  std::uint32_t st_rdev;
  std::int32_t st_size;
  std::int64_t st_atime;
  std::int64_t st_mtime;
  std::int64_t st_ctime;
};

FILE* u8_fopen(const char* path, const char* mode);
int u8_open(const char* path, int flags, int mode);
int u8_remove(const char* path);
int u8_rename(const char* old_path, const char* new_path);
int u8_mkdir(const char* path);
int u8_stat(const char* path, Utf8Stat* st);
int u8_delete_tree(const char* path);
// path must be followed by a second zero unit (the shell's path list ends in two).
int delete_tree_w(const wchar_t* path);
// Always leaves output zero-terminated; empty when the folder or its conversion fails.
void u8_special_folder(int csidl, char* output, int output_size);

// Internal to u8_stat, reachable from tests.
int stat_from_attributes_w(const wchar_t* path, Utf8Stat* st);
std::int64_t filetime_to_unix(FILETIME file_time);
