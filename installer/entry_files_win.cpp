#include "installer/entry_files_win.h"

#include "u8file/u8file.h"

namespace {

int remove_entry_file(void*, const char* path) { return u8_remove(path); }

FILE* create_entry_file(void*, const char* path) { return u8_fopen(path, "wb"); }

}  // namespace

EntryFileOps entry_files_win() { return EntryFileOps{nullptr, remove_entry_file, create_entry_file}; }
