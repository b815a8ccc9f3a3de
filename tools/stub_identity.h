#pragma once
// What the program in front of an archive is: the Orvinta installer stub, its x86-64
// test build, or something an installer must never be built on (a Linux program, a text
// file, another Windows program). The stub is recognised by its version block: a PE32
// image for i386 with the GUI subsystem whose string table "040904E4" names the
// "Orvinta Installer" as FileDescription and InternalName. Version blocks are resources
// the linker keeps whatever it strips, so the check holds for any build of the stub.

#include <cstdint>
#include <string>

#include "tools/pe_image.h"

enum class StubKind : std::uint8_t {
  installer,       // the installer stub (PE32, i386, GUI)
  x86_64_test,     // the same stub built for x86-64, which the tests run on 64-bit Wine
  elf,             // a Linux program
  not_windows,     // no MZ header: text, data, anything else
  damaged,         // MZ, but the PE headers are cut short or point outside the file
  windows_64,      // another 64-bit Windows program
  other_machine,   // a Windows program for neither i386 nor x86-64
  dll,
  not_gui,         // a console (or driver) program
  not_orvinta,     // a 32-bit Windows GUI program without the installer's version block
};

struct StubInfo {
  StubKind kind;
  PeImage image;         // valid unless kind is elf, not_windows or damaged
  std::string product;   // the version block's ProductName, when it has one
  std::string detail;    // for elf, not_windows and damaged: what the parser found
};

StubInfo stub_identify(const PeSource& source);
// The same of a file; false (with the reason) when it cannot be opened or read.
bool stub_identify_file(const std::string& path, StubInfo* info, std::string* error);

// The one-line reason why path cannot serve as (or be) an installer stub, or an empty
// text when it can. allow_x86_64_test_stub accepts the x86-64 test build.
std::string stub_problem(const std::string& path, const StubInfo& info, bool allow_x86_64_test_stub);

// Short names for reports: "installer", "x86-64-test", "elf", ...
const char* stub_kind_text(StubKind kind);

// The option that accepts the x86-64 test build, named in refusals and usage texts.
constexpr char STUB_TEST_OPTION[] = "--x86-64-test-stub";
