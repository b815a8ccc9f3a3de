// Deletion of a whole folder tree through the shell, without any dialog or Recycle Bin.

#include <windows.h>
#include <shellapi.h>

#include "u8file/u8_path.h"
#include "u8file/u8file.h"

namespace {

// FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI: no progress, no
// questions, no error boxes. Without FOF_ALLOWUNDO the items are deleted, not recycled.
constexpr FILEOP_FLAGS U8_DELETE_TREE_FLAGS = 0x614;
static_assert(U8_DELETE_TREE_FLAGS == (FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI),
              "the flags are the four quiet ones");

// The shell operation's own answer for a source path it cannot use (DE_INVALIDFILES),
// given for a path that is missing, empty or too long for the buffer.
constexpr int U8_DELETE_TREE_BAD_PATH = 0x7C;

}  // namespace

int delete_tree_w(const wchar_t* path) {
  // An empty list would leave the shell nothing sensible to delete.
  if (path == nullptr || path[0] == 0) return U8_DELETE_TREE_BAD_PATH;
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = path;
  operation.fFlags = U8_DELETE_TREE_FLAGS;
  return SHFileOperationW(&operation);
}

int u8_delete_tree(const char* path) {
  // The shell reads a list of paths ending in two zero units: converting into at most
  // one unit less than the zero-filled buffer keeps the second zero behind the path.
  U8WideBuffer wide_path;
  if (!u8_normalised_wide_path(path, wide_path, U8_WIDE_CAPACITY - 1)) return U8_DELETE_TREE_BAD_PATH;
  return delete_tree_w(wide_path.text);
}
