#pragma once
// How the stat emulation for Windows 2000, XP and Server 2003 derives a file's mode from
// its attributes and name. Internal to u8_stat; reachable from tests.

#include <windows.h>

#include <cstdint>

constexpr std::uint16_t U8_MODE_DIRECTORY = 0x4000;  // _S_IFDIR
constexpr std::uint16_t U8_MODE_REGULAR = 0x8000;    // _S_IFREG
constexpr std::uint16_t U8_MODE_READ = 0x0100;       // _S_IREAD
constexpr std::uint16_t U8_MODE_WRITE = 0x0080;      // _S_IWRITE
constexpr std::uint16_t U8_MODE_EXECUTE = 0x0040;    // _S_IEXEC

// Seconds from 1601-01-01 to 1970-01-01, and FILETIME's 100-nanosecond ticks per second.
constexpr std::int64_t U8_EPOCH_DIFFERENCE_SECONDS = 11644473600;
constexpr std::int64_t U8_FILETIME_TICKS_PER_SECOND = 10000000;

// Owner bits only, as the old systems' C library gave them: read always, write unless
// read-only, execute for files whose name ends in .exe, .com, .bat or .cmd (any case).
// A folder never gets execute.
std::uint16_t u8_mode_from_attributes(DWORD attributes, const wchar_t* path);
