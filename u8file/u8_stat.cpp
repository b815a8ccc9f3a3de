// u8_stat: the C library's stat on current systems; on Windows 2000, XP and Server 2003 a
// record built from the file's attributes instead.

#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "u8file/u8_path.h"
#include "u8file/u8_stat_mode.h"
#include "u8file/u8file.h"

// Utf8Stat must stay the C library's _stat64i32 record, field for field.
static_assert(sizeof(Utf8Stat) == sizeof(struct _stat64i32), "Utf8Stat differs from _stat64i32");
static_assert(offsetof(Utf8Stat, st_dev) == offsetof(struct _stat64i32, st_dev), "st_dev");
static_assert(offsetof(Utf8Stat, st_ino) == offsetof(struct _stat64i32, st_ino), "st_ino");
static_assert(offsetof(Utf8Stat, st_mode) == offsetof(struct _stat64i32, st_mode), "st_mode");
static_assert(offsetof(Utf8Stat, st_nlink) == offsetof(struct _stat64i32, st_nlink), "st_nlink");
static_assert(offsetof(Utf8Stat, st_uid) == offsetof(struct _stat64i32, st_uid), "st_uid");
static_assert(offsetof(Utf8Stat, st_gid) == offsetof(struct _stat64i32, st_gid), "st_gid");
static_assert(offsetof(Utf8Stat, st_rdev) == offsetof(struct _stat64i32, st_rdev), "st_rdev");
static_assert(offsetof(Utf8Stat, st_size) == offsetof(struct _stat64i32, st_size), "st_size");
static_assert(offsetof(Utf8Stat, st_atime) == offsetof(struct _stat64i32, st_atime), "st_atime");
static_assert(offsetof(Utf8Stat, st_mtime) == offsetof(struct _stat64i32, st_mtime), "st_mtime");
static_assert(offsetof(Utf8Stat, st_ctime) == offsetof(struct _stat64i32, st_ctime), "st_ctime");
static_assert(sizeof(Utf8Stat) == 48, "eleven fields, 64-bit times at 8-byte alignment");

namespace {

constexpr std::int64_t U8_LARGEST_SIZE = 0x7FFFFFFF;  // what st_size holds

constexpr const wchar_t* U8_EXECUTABLE_SUFFIXES[] = {L".exe", L".com", L".bat", L".cmd"};

// The C library's _wstat64i32. Windows XP's msvcrt.dll exports _wstat64 but not
// _wstat64i32, which the later runtimes add as _wstat64 followed by this narrowing; a
// size that does not fit the 32-bit field fails the call with EOVERFLOW there too.
int crt_stat64i32(const wchar_t* path, Utf8Stat* st) {
  struct _stat64 full;
  if (_wstat64(path, &full) != 0) return -1;
  if (full.st_size < 0 || full.st_size > U8_LARGEST_SIZE) {
    errno = EOVERFLOW;
    return -1;
  }
  st->st_dev = full.st_dev;
  st->st_ino = full.st_ino;
  st->st_mode = full.st_mode;
  st->st_nlink = full.st_nlink;
  st->st_uid = full.st_uid;
  st->st_gid = full.st_gid;
  st->st_rdev = full.st_rdev;
  st->st_size = static_cast<std::int32_t>(full.st_size);
  st->st_atime = full.st_atime;
  st->st_mtime = full.st_mtime;
  st->st_ctime = full.st_ctime;
  return 0;
}

bool windows_2000_xp_or_2003() { return (GetVersion() & 0xFF) == 5; }

}  // namespace

std::int64_t filetime_to_unix(FILETIME file_time) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
  // Signed division truncates toward zero, dropping the fraction of a second.
  return static_cast<std::int64_t>(ticks) / U8_FILETIME_TICKS_PER_SECOND - U8_EPOCH_DIFFERENCE_SECONDS;
}

std::uint16_t u8_mode_from_attributes(DWORD attributes, const wchar_t* path) {
  std::uint16_t mode = U8_MODE_READ;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    mode |= U8_MODE_DIRECTORY;
  } else {
    mode |= U8_MODE_REGULAR;
    // The last "." of the whole path: one inside a folder name matches no suffix.
    const wchar_t* dot = path != nullptr ? wcsrchr(path, L'.') : nullptr;
    if (dot != nullptr) {
      for (const wchar_t* suffix : U8_EXECUTABLE_SUFFIXES) {
        if (_wcsicmp(dot, suffix) == 0) {
          mode |= U8_MODE_EXECUTE;
          break;
        }
      }
    }
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) mode |= U8_MODE_WRITE;
  return mode;
}

int stat_from_attributes_w(const wchar_t* path, Utf8Stat* st) {
  if (st == nullptr || path == nullptr) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return -1;
  // A size that st_size cannot hold fails, as the C library's stat does, rather than
  // reporting the low 32 bits as if they were the size.
  if (data.nFileSizeHigh != 0 || data.nFileSizeLow > static_cast<DWORD>(U8_LARGEST_SIZE)) {
    errno = EOVERFLOW;
    return -1;
  }
  Utf8Stat record = {};
  record.st_ctime = filetime_to_unix(data.ftCreationTime);
  record.st_atime = filetime_to_unix(data.ftLastAccessTime);
  record.st_mtime = filetime_to_unix(data.ftLastWriteTime);
  record.st_size = static_cast<std::int32_t>(data.nFileSizeLow);
  record.st_mode = u8_mode_from_attributes(data.dwFileAttributes, path);
  *st = record;
  return 0;
}

int u8_stat(const char* path, Utf8Stat* st) {
  if (st == nullptr) return -1;
  U8WideBuffer wide_path;
  if (!u8_normalised_wide_path(path, wide_path)) return -1;
  // Filled locally so that a failure leaves the caller's record as it was.
  Utf8Stat record;
  const int result = windows_2000_xp_or_2003() ? stat_from_attributes_w(wide_path.text, &record)
                                               : crt_stat64i32(wide_path.text, &record);
  if (result != 0) return result;
  *st = record;
  return 0;
}
