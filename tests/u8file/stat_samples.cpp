// Builds the stat tests' files with Win32 directly.

#include "tests/u8file/stat_samples.h"

#include <gtest/gtest.h>

FILETIME filetime_of(std::int64_t unix_seconds, std::uint32_t extra_ticks) {
  const std::uint64_t ticks = static_cast<std::uint64_t>(unix_seconds + 11644473600LL) * 10000000ULL + extra_ticks;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

namespace {

bool is_read_only_folder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

bool make_stat_samples(const ScratchFolder& scratch, StatSamples& samples) {
  bool ok = write_file_w(scratch.wide(L"run.CMD"), "@echo off\r\n");
  ok = ok && CreateDirectoryW(scratch.wide(L"dir.d").c_str(), nullptr);
  ok = ok && write_file_w(scratch.wide(L"dir.d\\readme"), "read me");
  ok = ok && write_file_w(scratch.wide(L"tool.exe"), "MZ");
  ok = ok && SetFileAttributesW(scratch.wide(L"tool.exe").c_str(), FILE_ATTRIBUTE_READONLY);
  ok = ok && write_file_w(scratch.wide(L"notes.txt"), "n");
  ok = ok && SetFileAttributesW(scratch.wide(L"notes.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  ok = ok && CreateDirectoryW(scratch.wide(L"plain.exe").c_str(), nullptr);
  ok = ok && CreateDirectoryW(scratch.wide(L"locked").c_str(), nullptr);
  ok = ok && SetFileAttributesW(scratch.wide(L"locked").c_str(), FILE_ATTRIBUTE_READONLY);
  ok = ok && write_file_w(scratch.wide(L"dated.txt"), "eleven byte");
  ok = ok && set_times_w(scratch.wide(L"dated.txt"), filetime_of(SAMPLE_CREATION_SECONDS, 0),
                         filetime_of(SAMPLE_ACCESS_SECONDS, 5000000), filetime_of(SAMPLE_WRITE_SECONDS, 9999999));
  EXPECT_TRUE(ok) << "the stat samples could not be made";
  samples.read_only_folder = scratch.utf8("locked");
  samples.read_only_folder_kept = is_read_only_folder(scratch.wide(L"locked"));
  if (!samples.read_only_folder_kept) {
    // Wine keeps no read-only mark on folders it is asked to set; it shows one for a
    // folder without write permission, which the build prepares beside this program.
    const std::wstring prepared = own_folder() + L"read-only-folder";
    if (is_read_only_folder(prepared)) {
      samples.read_only_folder = narrow(prepared);
      samples.read_only_folder_kept = true;
    }
  }
  samples.run_cmd = scratch.utf8("run.CMD");
  samples.readme = with_forward_slashes(scratch.utf8("dir.d/readme"));
  samples.tool_exe = scratch.utf8("tool.exe");
  samples.notes = scratch.utf8("notes.txt");
  samples.folder = scratch.utf8("plain.exe");
  samples.dated = scratch.utf8("dated.txt");
  return ok;
}

void release_stat_samples(const ScratchFolder& scratch) {
  for (const wchar_t* name : {L"tool.exe", L"notes.txt", L"locked"}) {
    SetFileAttributesW(scratch.wide(name).c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

std::int64_t unix_seconds_of(FILETIME time) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

std::int64_t creation_seconds_of(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return unix_seconds_of(data.ftCreationTime);
}
