#pragma once
// The files and folders whose stat results the stat tests compare, made in a scratch folder.

#include <windows.h>

#include <cstdint>
#include <string>

#include "tests/support/scratch.h"

// 2009-02-13 23:31:30 UTC, plus most of a second that the conversion must drop.
constexpr std::int64_t SAMPLE_WRITE_SECONDS = 1234567890;
// 2001-09-09 01:46:40 UTC and 1999-12-31 23:59:59 UTC. Not every file system keeps a
// creation time that can be set (Wine's cannot): compare with creation_seconds_of.
constexpr std::int64_t SAMPLE_ACCESS_SECONDS = 1000000000;
constexpr std::int64_t SAMPLE_CREATION_SECONDS = 946684799;

FILETIME filetime_of(std::int64_t unix_seconds, std::uint32_t extra_ticks);

struct StatSamples {
  std::string run_cmd;          // writable file "run.CMD"
  std::string readme;           // writable "dir.d\readme": the last "." is in the folder
  std::string tool_exe;         // read-only "tool.exe"
  std::string notes;            // read-only "notes.txt"
  std::string folder;           // "plain.exe", a folder whose name ends like a program
  std::string read_only_folder; // a read-only folder (made elsewhere where needed, see below)
  bool read_only_folder_kept = false;  // the file system shows the folder as read-only
  std::string dated;            // 11 bytes with the three SAMPLE_* times set
};

// Creates every sample; false (with a test failure recorded) when one cannot be made.
bool make_stat_samples(const ScratchFolder& scratch, StatSamples& samples);
// Clears the read-only marks so that the scratch folder can be removed.
void release_stat_samples(const ScratchFolder& scratch);

// Whole seconds since 1970 of a FILETIME, computed here on unsigned ticks for dates after
// 1601; and the creation time the file system reports for a path (-1 on failure).
std::int64_t unix_seconds_of(FILETIME time);
std::int64_t creation_seconds_of(const std::string& path);
