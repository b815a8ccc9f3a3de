// The DLL search restriction that the installer applies first: which function decides,
// and that afterwards a DLL beside the program is no longer loaded while system DLLs are.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/dll_search.h"

namespace {

struct Calls {
  std::vector<DWORD> set_default;
  std::vector<std::wstring> set_directory;
  BOOL set_default_result = TRUE;
  BOOL set_directory_result = TRUE;
};
Calls g_calls;

BOOL WINAPI fake_set_default(DWORD flags) {
  g_calls.set_default.push_back(flags);
  return g_calls.set_default_result;
}

BOOL WINAPI fake_set_directory(LPCWSTR folder) {
  g_calls.set_directory.push_back(folder != nullptr ? folder : L"(null)");
  return g_calls.set_directory_result;
}

TEST(DllSearch, TheFirstFunctionThatExistsAndSucceedsDecides) {
  g_calls = Calls{};
  EXPECT_EQ(restrict_dll_search_with(fake_set_default, fake_set_directory), DLL_SEARCH_SYSTEM_FOLDER_ONLY);
  EXPECT_EQ(g_calls.set_default, std::vector<DWORD>{0x800u});  // LOAD_LIBRARY_SEARCH_SYSTEM32
  EXPECT_TRUE(g_calls.set_directory.empty());

  // Windows XP SP1 to Vista: no SetDefaultDllDirectories.
  g_calls = Calls{};
  EXPECT_EQ(restrict_dll_search_with(nullptr, fake_set_directory), DLL_SEARCH_CURRENT_FOLDER_OFF);
  EXPECT_EQ(g_calls.set_directory, std::vector<std::wstring>{L""});  // empty, not null: null restores the default

  // The newer function present but refusing: the older one still applies.
  g_calls = Calls{};
  g_calls.set_default_result = FALSE;
  EXPECT_EQ(restrict_dll_search_with(fake_set_default, fake_set_directory), DLL_SEARCH_CURRENT_FOLDER_OFF);
  EXPECT_EQ(g_calls.set_default.size(), 1u);
  EXPECT_EQ(g_calls.set_directory.size(), 1u);

  // Neither, or both failing: the installer runs on with the default search.
  g_calls = Calls{};
  g_calls.set_default_result = FALSE;
  g_calls.set_directory_result = FALSE;
  EXPECT_EQ(restrict_dll_search_with(fake_set_default, fake_set_directory), DLL_SEARCH_UNCHANGED);
  EXPECT_EQ(restrict_dll_search_with(nullptr, nullptr), DLL_SEARCH_UNCHANGED);
}

// Changes the whole process's search for good: the last test of the program.
TEST(DllSearch, ADllBesideTheProgramIsNoLongerLoaded) {
  constexpr wchar_t PLANTED[] = L"orvinta-planted.dll";
  // Before: the program's own folder is searched first, so the planted copy loads.
  HMODULE planted = LoadLibraryW(PLANTED);
  ASSERT_NE(planted, nullptr) << "the test DLL must lie beside the test program";
  ASSERT_TRUE(FreeLibrary(planted));
  ASSERT_EQ(GetModuleHandleW(PLANTED), nullptr);

  ASSERT_EQ(restrict_dll_search(), DLL_SEARCH_SYSTEM_FOLDER_ONLY);
  planted = LoadLibraryW(PLANTED);
  EXPECT_EQ(planted, nullptr) << "a DLL beside the program was loaded after the restriction";
  if (planted != nullptr) FreeLibrary(planted);
  // What the installer may load on demand still comes from the system folder.
  for (const wchar_t* system_dll : {L"version.dll", L"shell32.dll", L"comctl32.dll"}) {
    HMODULE module = LoadLibraryW(system_dll);
    EXPECT_NE(module, nullptr) << "system DLL not found after the restriction";
    if (module != nullptr) FreeLibrary(module);
  }
}

}  // namespace
