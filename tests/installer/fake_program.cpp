// Test double of the installed program. It records how it was started (the whole command
// line and the current directory) in the file named by ORVINTA_FAKE_LOG, sleeps for
// ORVINTA_FAKE_SLEEP_MS milliseconds (default 1500) and then appends "end", so that the
// test can see whether the installer waited for it. Its exit code, 7, must not matter.

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD UNITS = 2048;
constexpr int EXIT_CODE = 7;
constexpr DWORD DEFAULT_SLEEP_MS = 1500;

void put_line(FILE* log, const char* key, const wchar_t* value) {
  char bytes[4 * UNITS];
  if (WideCharToMultiByte(CP_UTF8, 0, value, -1, bytes, static_cast<int>(sizeof(bytes)), nullptr, nullptr) <= 0) {
    bytes[0] = 0;
  }
  std::fprintf(log, "%s=%s\n", key, bytes);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t log_path[UNITS];
  if (GetEnvironmentVariableW(L"ORVINTA_FAKE_LOG", log_path, UNITS) == 0) return EXIT_CODE;
  DWORD sleep_ms = DEFAULT_SLEEP_MS;
  wchar_t sleep_text[32];
  if (GetEnvironmentVariableW(L"ORVINTA_FAKE_SLEEP_MS", sleep_text, 32) > 0) {
    sleep_ms = static_cast<DWORD>(std::wcstoul(sleep_text, nullptr, 10));
  }
  wchar_t current[UNITS];
  if (GetCurrentDirectoryW(UNITS, current) == 0) current[0] = 0;

  FILE* log = _wfopen(log_path, L"w");
  if (log == nullptr) return EXIT_CODE;
  put_line(log, "command_line", GetCommandLineW());
  put_line(log, "current_directory", current);
  std::fputs("start\n", log);
  std::fclose(log);

  Sleep(sleep_ms);

  log = _wfopen(log_path, L"a");
  if (log != nullptr) {
    std::fputs("end\n", log);
    std::fclose(log);
  }
  return EXIT_CODE;
}
