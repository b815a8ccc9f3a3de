#pragma once
// Windows images made in memory for the tool's tests: the shape of the installer stub
// (PE32, i386, GUI, one resource section with the installer's version block) and the
// variations a stub check must tell apart. The host never runs them.

#include <cstdint>
#include <string>

#include "tests/support/zip_builder.h"

struct StubImageOptions {
  bool pe32_plus = false;                // PE32+ (x86-64) instead of PE32 (i386)
  std::uint16_t machine = 0;             // 0: the one that goes with the kind above
  std::uint16_t subsystem = 2;           // GUI
  bool dll = false;
  std::uint32_t pe_offset = 0x80;        // e_lfanew
  std::string description = "Orvinta Installer";  // FileDescription and InternalName
  std::string product = "Orvinta Installer 1.1.0";
  bool version_block = true;             // without it the image carries no resources
};

Bytes test_stub_image(const StubImageOptions& options = StubImageOptions());

// Where the image's certificate directory entry lies (for tests that forge one).
std::size_t test_stub_security_entry(const StubImageOptions& options = StubImageOptions());
