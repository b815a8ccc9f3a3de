// The demo "orvinta.exe" that the demo installer installs. Started with "/install" it
// writes install.log into its own folder: how it was started, and every file it finds
// beside itself with its size and CRC-32, so that a run shows what arrived where.
// Without "/install" it does nothing.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace {

constexpr wchar_t INSTALL_SWITCH[] = L"/install";
constexpr wchar_t LOG_NAME[] = L"install.log";
constexpr DWORD PATH_UNITS = 1024;

std::uint32_t crc32_update(std::uint32_t crc, const unsigned char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

bool file_crc32(const wchar_t* path, std::uint32_t& crc) {
  FILE* file = _wfopen(path, L"rb");
  if (file == nullptr) return false;
  static unsigned char buffer[65536];
  std::uint32_t value = 0xFFFFFFFFu;
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) value = crc32_update(value, buffer, got);
  std::fclose(file);
  crc = value ^ 0xFFFFFFFFu;
  return true;
}

// Writes a wide string as UTF-8.
void put_utf8(FILE* log, const wchar_t* text) {
  char bytes[4 * PATH_UNITS];
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, static_cast<int>(sizeof(bytes)), nullptr, nullptr);
  if (n > 0) std::fputs(bytes, log);
}

bool has_install_switch(const wchar_t* command_line) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(command_line, &count);
  bool found = false;
  for (int i = 1; args != nullptr && i < count; ++i) {
    if (_wcsicmp(args[i], INSTALL_SWITCH) == 0) found = true;
  }
  if (args != nullptr) LocalFree(args);
  return found;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const wchar_t* command_line = GetCommandLineW();
  if (!has_install_switch(command_line)) return 0;

  wchar_t folder[PATH_UNITS];
  const DWORD units = GetModuleFileNameW(nullptr, folder, PATH_UNITS);
  if (units == 0 || units >= PATH_UNITS) return 1;
  wchar_t* last_separator = std::wcsrchr(folder, L'\\');
  if (last_separator == nullptr) return 1;
  last_separator[1] = 0;

  wchar_t path[PATH_UNITS];
  if (std::swprintf(path, PATH_UNITS, L"%ls%ls", folder, LOG_NAME) < 0) return 1;
  FILE* log = _wfopen(path, L"w");
  if (log == nullptr) return 1;

  wchar_t current[PATH_UNITS];
  if (GetCurrentDirectoryW(PATH_UNITS, current) == 0) current[0] = 0;
  std::fputs("command line: ", log);
  put_utf8(log, command_line);
  std::fputs("\ncurrent directory: ", log);
  put_utf8(log, current);
  std::fputs("\ninstalled in: ", log);
  put_utf8(log, folder);
  std::fputs("\nfiles:\n", log);

  wchar_t pattern[PATH_UNITS];
  if (std::swprintf(pattern, PATH_UNITS, L"%ls*", folder) < 0) pattern[0] = 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  unsigned count = 0;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (_wcsicmp(found.cFileName, LOG_NAME) == 0) continue;
      const std::uint64_t size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
      std::uint32_t crc = 0;
      if (std::swprintf(path, PATH_UNITS, L"%ls%ls", folder, found.cFileName) < 0 || !file_crc32(path, crc)) {
        crc = 0;
      }
      std::fprintf(log, "  %10llu  crc32 %08lx  ", static_cast<unsigned long long>(size),
                   static_cast<unsigned long>(crc));
      put_utf8(log, found.cFileName);
      std::fputs("\n", log);
      ++count;
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  std::fprintf(log, "%u files\n", count);
  std::fclose(log);
  return 0;
}
