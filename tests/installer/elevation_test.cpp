// The generation decision row by row, the two checks against what the system reports
// through other means, and the relaunch observed from the instance it starts.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "installer/elevation.h"
#include "installer/elevation_decision.h"
#include "tests/support/scratch.h"

namespace {

// GetVersion values: low byte major, next byte minor, high word build (and bit 31 for the
// Windows 95/98/Me family).
constexpr std::uint32_t version_value(std::uint32_t major, std::uint32_t minor, std::uint32_t build, bool non_nt) {
  return major | (minor << 8) | (build << 16) | (non_nt ? 0x80000000u : 0u);
}
constexpr std::uint32_t WINDOWS_98 = 0xC0000A04u;  // 4.10, the non-NT flag set
constexpr std::uint32_t WINDOWS_2000 = version_value(5, 0, 2195, false);
constexpr std::uint32_t WINDOWS_XP = version_value(5, 1, 2600, false);
constexpr std::uint32_t WINDOWS_VISTA = version_value(6, 0, 6002, false);
constexpr std::uint32_t WINDOWS_10 = version_value(10, 0, 19045 & 0x7FFF, false);

TEST(VistaDecision, RowsOfTheTable) {
  // Kernel32 loaded: the export alone decides, whatever GetVersion says.
  for (std::uint32_t version : {WINDOWS_98, WINDOWS_XP, WINDOWS_VISTA, WINDOWS_10, 0xFFFFFFFFu}) {
    EXPECT_EQ(1, vista_or_later_from(true, true, version)) << std::hex << version;
    EXPECT_EQ(0, vista_or_later_from(true, false, version)) << std::hex << version;
  }
  // Not loaded: major version 6 or more of the NT family; the export is not looked at.
  EXPECT_EQ(0, vista_or_later_from(false, true, WINDOWS_98));
  EXPECT_EQ(0, vista_or_later_from(false, true, WINDOWS_2000));
  EXPECT_EQ(0, vista_or_later_from(false, true, WINDOWS_XP));
  EXPECT_EQ(1, vista_or_later_from(false, false, WINDOWS_VISTA));
  EXPECT_EQ(1, vista_or_later_from(false, false, WINDOWS_10));
  EXPECT_EQ(0, vista_or_later_from(false, false, version_value(10, 0, 0, true)));
  // Only the low byte is the major version.
  EXPECT_EQ(0, vista_or_later_from(false, false, version_value(5, 0xFF, 0x7FFF, false)));
}

TEST(Elevation, GenerationAgreesWithTheSystem) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  ASSERT_NE(nullptr, kernel32);
  const int exported = GetProcAddress(kernel32, "GetLocaleInfoEx") != nullptr ? 1 : 0;
  EXPECT_EQ(exported, is_vista_or_later());
  // The kernel's own version, which no compatibility setting of the program changes.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto rtl_get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(nullptr, rtl_get_version);
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_EQ(0, rtl_get_version(&info));
  EXPECT_EQ(info.dwMajorVersion >= 6 ? 1 : 0, is_vista_or_later()) << "kernel " << info.dwMajorVersion;
}

// Membership read from the token's group list: S-1-5-32-544 present, enabled and not
// marked for deny only.
int administrators_enabled_in_token() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return -1;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  int result = -1;
  if (size > 0 && GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) {
    unsigned char sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_size = sizeof(sid);
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sid_size)) {
      result = 0;
      const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
      for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if (EqualSid(group.Sid, sid) && (group.Attributes & SE_GROUP_ENABLED) != 0 &&
            (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0) {
          result = 1;
        }
      }
    }
  }
  CloseHandle(token);
  return result;
}

TEST(Elevation, AdministratorCheckAgreesWithTheTokenGroups) {
  const int expected = administrators_enabled_in_token();
  ASSERT_NE(-1, expected) << "the token could not be read";
  EXPECT_EQ(expected, is_user_admin());
}

// Runs a copy of the probe in the given stage and collects the relaunched copy's report.
class Relaunch : public ::testing::Test {
 protected:
  ScratchFolder scratch{L"relaunch"};

  void SetUp() override { ASSERT_TRUE(scratch.ok()); }

  bool copy_probe(const std::wstring& target) {
    return CopyFileW((own_folder() + L"elevation_probe.exe").c_str(), target.c_str(), FALSE) != FALSE;
  }

  // Exit code of the probe, or -1 when it could not be run.
  int run_probe(const std::wstring& probe, const wchar_t* stage, const std::wstring& report) {
    SetEnvironmentVariableW(L"ORVINTA_PROBE_STAGE", stage);
    SetEnvironmentVariableW(L"ORVINTA_PROBE_REPORT", report.c_str());
    std::wstring command_line = L"\"" + probe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(probe.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &process);
    SetEnvironmentVariableW(L"ORVINTA_PROBE_STAGE", nullptr);
    SetEnvironmentVariableW(L"ORVINTA_PROBE_REPORT", nullptr);
    if (!started) return -1;
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 9);
      code = static_cast<DWORD>(-1);
    } else {
      GetExitCodeProcess(process.hProcess, &code);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
  }

  // The relaunched instance runs on its own: wait for its report.
  static std::vector<std::string> wait_for_report(const std::wstring& report, DWORD limit_ms) {
    const DWORD started = GetTickCount();
    while (!exists_w(report) && GetTickCount() - started < limit_ms) Sleep(50);
    std::vector<std::string> lines;
    const std::string text = read_file_w(report);
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
      lines.push_back(text.substr(begin, end - begin));
    }
    return lines;
  }
};

TEST_F(Relaunch, StartsItsOwnFileWithoutArguments) {
  const std::wstring probe = scratch.wide(L"probe.exe");
  ASSERT_TRUE(copy_probe(probe));
  const std::wstring report = scratch.wide(L"report.txt");
  ASSERT_EQ(0, run_probe(probe, L"first", report));
  const std::vector<std::string> lines = wait_for_report(report, 30000);
  ASSERT_EQ(3u, lines.size()) << "the relaunched instance did not report";
  EXPECT_EQ("1", lines[0]) << "only the program's own name on its command line";
  EXPECT_EQ(0, lstrcmpiW(probe.c_str(), widen(lines[1]).c_str())) << lines[1];
  std::printf("relaunched instance: is_user_admin %s, this one %d\n", lines[2].c_str(), is_user_admin());
}

TEST_F(Relaunch, FailsWhenItsOwnFileIsGone) {
  const std::wstring probe = scratch.wide(L"vanishing.exe");
  ASSERT_TRUE(copy_probe(probe));
  const std::wstring report = scratch.wide(L"report.txt");
  ASSERT_EQ(1, run_probe(probe, L"vanish", report));
  EXPECT_TRUE(exists_w(probe + L".gone"));
  Sleep(500);
  EXPECT_FALSE(exists_w(report)) << "something was started after all";
}

}  // namespace
