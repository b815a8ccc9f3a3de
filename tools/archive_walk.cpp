// The installer's walk over an archive, with offsets kept for reports.

#include "tools/archive_walk.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/zip_format.h"
#include "tools/file_util.h"
#include "tools/pack_message.h"

namespace {

void free_input_buffer(ArchiveWalk* walk) {
  std::free(walk->input_buffer);
  walk->input_buffer = nullptr;
}

}  // namespace

bool walk_open(ArchiveWalk* walk, const char* path, std::string* error) {
  walk->reader = nullptr;
  walk->index = 0;
  walk->end_offset = -1;
  walk->input_buffer = nullptr;
  FILE* input = std::fopen(path, "rb");
  if (input == nullptr) {
    *error = io_error("cannot open", path);
    return false;
  }
  struct stat info {};
  if (fstat(fileno(input), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = std::string(path) + " is not a regular file";
    std::fclose(input);
    return false;
  }
  walk->file_size = info.st_size;
  // Without the buffer the stream keeps its default one: slower, not wrong. The walk's
  // seeks land inside the buffer while it moves forward.
  walk->input_buffer = static_cast<char*>(std::malloc(STREAM_BUFFER_SIZE));
  if (walk->input_buffer != nullptr) std::setvbuf(input, walk->input_buffer, _IOFBF, STREAM_BUFFER_SIZE);
  std::int32_t offset = -1;  // scrambled input, scan from the start of the file
  walk->reader = zip_open(input, &offset);  // owns input from here on, also on failure
  if (walk->reader == nullptr) {
    free_input_buffer(walk);
    *error = std::string("no archive found in ") + path +
             ": the installer's scan finds no readable first entry";
    return false;
  }
  if (zip_get_info(walk->reader, &walk->info) != 0) {
    *error = std::string("the first entry of ") + path + " cannot be read";
    walk_close(walk);
    return false;
  }
  walk->header_offset = offset;
  return true;
}

std::int64_t walk_data_offset(const ArchiveWalk* walk) {
  return zip_data_offset(walk->header_offset, walk->info);
}

std::int64_t walk_entry_end(const ArchiveWalk* walk) {
  return zip_next_header_offset(walk_data_offset(walk), walk->info);
}

bool walk_next(ArchiveWalk* walk) {
  const std::int64_t next = walk_entry_end(walk);
  if (zip_next(walk->reader) != 0 || zip_get_info(walk->reader, &walk->info) != 0) {
    walk->end_offset = next;
    return false;
  }
  walk->header_offset = next;
  ++walk->index;
  return true;
}

void walk_close(ArchiveWalk* walk) {
  if (walk->reader != nullptr) zip_close(walk->reader);  // -1 after a complete walk: expected
  walk->reader = nullptr;
  free_input_buffer(walk);  // only once the stream that used it is closed
}

std::string walk_method_text(std::uint16_t method) {
  if (method == ZIP_METHOD_STORED) return "stored";
  if (method == ZIP_METHOD_DEFLATE) return "deflate";
  return "method " + std::to_string(method);
}

std::size_t walk_name_length(const ZipEntryInfo& info) {
  return info.name_length < ZIP_NAME_CAPACITY ? info.name_length : ZIP_NAME_CAPACITY - 1;
}

std::string walk_name_text(const ZipEntryInfo& info) { return name_for_display(info.name, walk_name_length(info)); }
