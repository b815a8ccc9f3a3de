// The entry loop's two file operations on Windows, through the UTF-8 file layer so that
// entry names with any characters reach the wide file functions intact. They only remove
// and create the one file asked for; they never create folders.

#include "installer/entry_files_win.h"

#include "u8file/u8file.h"

namespace {

int remove_entry_file(void*, const char* path) { return u8_remove(path); }

FILE* create_entry_file(void*, const char* path) { return u8_fopen(path, "wb"); }

}  // namespace

EntryFileOps entry_files_win() { return EntryFileOps{nullptr, remove_entry_file, create_entry_file}; }
