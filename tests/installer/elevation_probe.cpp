// Helper program of the elevation tests: calls relaunch_elevated and, started again by it,
// reports how it was started. ORVINTA_PROBE_STAGE selects what it does:
//   first    relaunch itself; the exit code is relaunch_elevated's result
//   vanish   rename its own file away first, then relaunch itself
//   (other)  the relaunched copy: write "<argument count>\n<own path>\n<is_user_admin>\n"
//            as UTF-8 into the file named by ORVINTA_PROBE_REPORT

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "installer/elevation.h"
#include "tests/support/scratch.h"

namespace {

std::wstring environment(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

int report(const std::wstring& report_path) {
  int arguments = 0;
  LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &arguments);
  if (list != nullptr) LocalFree(list);
  const std::string text = std::to_string(arguments) + "\n" + narrow(own_path()) + "\n" +
                           std::to_string(is_user_admin()) + "\n";
  // Written under another name and renamed, so the tests never read half a report.
  const std::wstring partial = report_path + L".part";
  if (!write_file_w(partial, text)) return 3;
  return MoveFileW(partial.c_str(), report_path.c_str()) ? 0 : 3;
}

}  // namespace

int main() {
  const std::wstring stage = environment(L"ORVINTA_PROBE_STAGE");
  if (stage == L"first" || stage == L"vanish") {
    if (stage == L"vanish") {
      const std::wstring self = own_path();
      if (!MoveFileW(self.c_str(), (self + L".gone").c_str())) return 4;
    }
    SetEnvironmentVariableW(L"ORVINTA_PROBE_STAGE", L"relaunched");
    return relaunch_elevated();
  }
  return report(environment(L"ORVINTA_PROBE_REPORT"));
}
