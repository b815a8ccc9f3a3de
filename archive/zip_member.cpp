// Named member access: one entry of an archive file addressed as "<archive path>/<name>",
// the name compared without regard to ASCII letter case. Extraction goes into a file in
// the system's temporary folder that is opened to delete itself when its last descriptor
// closes, so the caller's fclose is the whole clean-up and a failed extraction leaves
// nothing behind. Every path through here closes the reader it opened.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <cstring>

#include "archive/zip_reader.h"
#include "common/bounded_string.h"
#include "u8file/u8file.h"

namespace {

constexpr std::size_t MEMBER_PATH_CAPACITY = 1024;  // combined paths of at most 1023 bytes
constexpr DWORD TEMP_NAME_CAPACITY = 260;           // UTF-16 units, and bytes of the UTF-8 form
constexpr int TEMP_OPEN_FLAGS = _O_RDWR | _O_TEMPORARY | _O_CREAT | _O_BINARY;
constexpr int TEMP_OPEN_MODE = 0666;                // reading and writing permitted
constexpr wchar_t TEMP_PREFIX[] = L"ORV";

static_assert(TEMP_OPEN_FLAGS == 0x8142, "read-write, delete on close, create, binary");
static_assert(TEMP_OPEN_MODE == 438, "octal 666");

// Splits the combined path at its last '/', opens the archive and walks it to the first
// entry whose name matches. Returns the reader positioned on that entry, or nullptr
// (with any reader already closed) when the path, the archive or the walk fails.
ZipReader* zip_find_member(const char* combined_path, std::int32_t* offset) {
  if (combined_path == nullptr) return nullptr;
  PathU8<MEMBER_PATH_CAPACITY> archive_path;
  if (!bs_copy(archive_path, combined_path)) return nullptr;  // does not fit: refused whole, not cut
  const char* slash = std::strrchr(combined_path, '/');
  if (slash == nullptr) return nullptr;
  const char* member_name = slash + 1;
  bs_truncate(archive_path, static_cast<std::size_t>(slash - combined_path));

  ZipReader* reader = zip_open(u8_fopen(archive_path.text, "rb"), offset);
  if (reader == nullptr) return nullptr;
  ZipEntryInfo info;
  for (;;) {
    if (zip_get_info(reader, &info) != 0) {
      zip_close(reader);
      return nullptr;
    }
    if (_stricmp(info.name, member_name) == 0) return reader;
    zip_next(reader);  // a failure shows in the next zip_get_info
  }
}

// A fresh, empty temporary file opened read-write and delete-on-close, as a stream; or
// nullptr, in which case no file is left in the temporary folder.
FILE* open_temporary_stream() {
  wchar_t folder[TEMP_NAME_CAPACITY];
  std::memset(folder, 0, sizeof folder);
  const DWORD folder_length = GetTempPathW(TEMP_NAME_CAPACITY, folder);
  // Length 0 is a failed query: an empty folder name would put the file in the
  // current directory instead of the temporary folder.
  if (folder_length == 0 || folder_length >= TEMP_NAME_CAPACITY) return nullptr;

  wchar_t name[TEMP_NAME_CAPACITY];
  if (GetTempFileNameW(folder, TEMP_PREFIX, 0, name) == 0) return nullptr;
  // From here on the system has created the (empty) file; each failure removes it.

  char name_utf8[TEMP_NAME_CAPACITY];
  name_utf8[0] = 0;
  if (WideCharToMultiByte(CP_UTF8, 0, name, -1, name_utf8, static_cast<int>(sizeof name_utf8),
                          nullptr, nullptr) == 0) {
    DeleteFileW(name);
    return nullptr;
  }
  const int descriptor = u8_open(name_utf8, TEMP_OPEN_FLAGS, TEMP_OPEN_MODE);
  if (descriptor < 0) {
    DeleteFileW(name);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, "wb+");
  if (stream == nullptr) _close(descriptor);  // the last descriptor: the file goes with it
  return stream;
}

}  // namespace

int zip_member_exists(const char* combined_path, std::int32_t* offset) {
  ZipReader* reader = zip_find_member(combined_path, offset);
  if (reader == nullptr) return -1;
  zip_close(reader);  // healthy here; the walk has no further result to report
  return 0;
}

FILE* zip_extract_member_to_temp(const char* combined_path, std::int32_t* offset) {
  ZipReader* reader = zip_find_member(combined_path, offset);
  if (reader == nullptr) return nullptr;
  FILE* stream = open_temporary_stream();
  if (stream != nullptr && zip_extract(reader, stream) != 0) {
    std::fclose(stream);  // deletes the temporary file
    stream = nullptr;
  }
  zip_close(reader);
  return stream;
}
