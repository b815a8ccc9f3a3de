// The plain wrappers: each converts its arguments and calls one wide function of the C
// library, whose result it returns unchanged.

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

#include <cstdio>

#include "u8file/u8_path.h"
#include "u8file/u8file.h"

FILE* u8_fopen(const char* path, const char* mode) {
  U8WideBuffer wide_path;
  U8WideBuffer wide_mode;
  if (!u8_normalised_wide_path(path, wide_path)) return nullptr;
  // The mode is text, not a path: converted as it is.
  if (!u8_to_wide(mode, wide_mode)) return nullptr;
  // _wfopen opens with _SH_DENYNO: others may read and write the file meanwhile.
  return _wfopen(wide_path.text, wide_mode.text);
}

int u8_open(const char* path, int flags, int mode) {
  U8WideBuffer wide_path;
  if (!u8_normalised_wide_path(path, wide_path)) return -1;
  // _wopen shares the file like _wsopen with _SH_DENYNO.
  return _wopen(wide_path.text, flags, mode);
}

int u8_remove(const char* path) {
  // The platform accepts either separator here, so the path is converted as given.
  U8WideBuffer wide_path;
  if (!u8_to_wide(path, wide_path)) return -1;
  return _wremove(wide_path.text);
}

int u8_rename(const char* old_path, const char* new_path) {
  U8WideBuffer wide_old;
  U8WideBuffer wide_new;
  if (!u8_to_wide(old_path, wide_old) || !u8_to_wide(new_path, wide_new)) return -1;
  return _wrename(wide_old.text, wide_new.text);
}

int u8_mkdir(const char* path) {
  U8WideBuffer wide_path;
  if (!u8_normalised_wide_path(path, wide_path)) return -1;
  return _wmkdir(wide_path.text);
}
