#pragma once
// The entry loop's file operations on Windows: the UTF-8 file layer.

#include "install_core/install_entries.h"

EntryFileOps entry_files_win();
