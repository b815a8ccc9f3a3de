// The PE reader and the stub check on images made in memory: every kind of program a
// vendor might name as the stub, headers wherever e_lfanew points, and every cut or
// damaged header read without a read beyond the bytes given (the sanitizer tree would
// report one).

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/tools/stub_image.h"
#include "tools/pe_image.h"
#include "tools/stub_identity.h"

namespace {

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

StubInfo identify(const Bytes& bytes) { return stub_identify(pe_source_bytes(bytes.data(), bytes.size())); }

TEST(StubIdentity, TellsTheStubFromEveryOtherKindOfFile) {
  StubImageOptions x86_64;
  x86_64.pe32_plus = true;
  StubImageOptions other_64 = x86_64;
  other_64.description = "Notepad";
  StubImageOptions console;
  console.subsystem = 3;
  StubImageOptions dll;
  dll.dll = true;
  StubImageOptions foreign;
  foreign.description = "Orvinta";  // the payload's orvinta.exe, say
  StubImageOptions bare;
  bare.version_block = false;
  StubImageOptions arm;
  arm.machine = 0x1C4;
  StubImageOptions far_header;
  far_header.pe_offset = 0x1400;  // past the first 4 KiB
  Bytes elf = zip_test_bytes("\x7F" "ELF\x02\x01\x01");
  elf.resize(4096, 0);
  const struct {
    const char* what;
    Bytes bytes;
    StubKind kind;
    const char* refusal;  // nullptr: accepted without the test option
  } cases[] = {
      {"the stub", test_stub_image(), StubKind::installer, nullptr},
      {"its header past 4 KiB", test_stub_image(far_header), StubKind::installer, nullptr},
      {"its x86-64 build", test_stub_image(x86_64), StubKind::x86_64_test,
       "is a 64-bit Windows program; the x86-64 test build of the stub is accepted only with --x86-64-test-stub"},
      {"another 64-bit program", test_stub_image(other_64), StubKind::windows_64, "is a 64-bit Windows program"},
      {"a Linux program", elf, StubKind::elf, "is a Linux ELF program, not an installer stub"},
      {"a text file", zip_test_bytes("#!/bin/sh\necho hello\n"), StubKind::not_windows, "no MZ header"},
      {"an empty file", Bytes(), StubKind::not_windows, "no MZ header"},
      {"a console program", test_stub_image(console), StubKind::not_gui, "console program"},
      {"a DLL", test_stub_image(dll), StubKind::dll, "DLL"},
      {"another GUI program", test_stub_image(foreign), StubKind::not_orvinta, "is not the Orvinta installer stub"},
      {"no resources", test_stub_image(bare), StubKind::not_orvinta, "is not the Orvinta installer stub"},
      {"another machine", test_stub_image(arm), StubKind::other_machine, "for machine 0x1C4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const StubInfo info = identify(c.bytes);
    EXPECT_EQ(info.kind, c.kind) << stub_kind_text(info.kind);
    const std::string problem = stub_problem("stub.exe", info, false);
    if (c.refusal == nullptr) {
      EXPECT_EQ(problem, "");
      EXPECT_EQ(info.product, "Orvinta Installer 1.1.0");
    } else {
      EXPECT_EQ(problem.rfind("stub.exe ", 0), 0u) << problem;
      EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
      EXPECT_EQ(problem.find('\n'), std::string::npos);
    }
    EXPECT_EQ(stub_problem("stub.exe", info, true).empty(), c.refusal == nullptr || c.kind == StubKind::x86_64_test);
  }
}

TEST(PeImage, ReadsTheHeaderWhereverTheOffsetPointsAndRefusesOffsetsOutsideTheFile) {
  for (std::uint32_t pe_offset : {0x40u, 0x80u, 0xFF8u, 0x1000u, 0x4000u}) {
    SCOPED_TRACE(pe_offset);
    StubImageOptions options;
    options.pe_offset = pe_offset;
    Bytes image = test_stub_image(options);
    put32(image, test_stub_security_entry(options), 0x12345678);
    put32(image, test_stub_security_entry(options) + 4, 0x9A0);
    PeImage parsed{};
    std::string error;
    ASSERT_EQ(pe_read_image(pe_source_bytes(image.data(), image.size()), &parsed, &error), PeParse::image) << error;
    EXPECT_EQ(parsed.header_offset, pe_offset);
    EXPECT_TRUE(parsed.certificate.present);
    EXPECT_EQ(parsed.certificate.offset, 0x12345678u);
    EXPECT_EQ(parsed.certificate.size, 0x9A0u);
  }
  Bytes image = test_stub_image();
  for (std::uint32_t outside : {static_cast<std::uint32_t>(image.size()), 0x7FFFFFFFu, 0xFFFFFFF0u}) {
    put32(image, 0x3C, outside);
    PeImage parsed{};
    std::string error;
    EXPECT_EQ(pe_read_image(pe_source_bytes(image.data(), image.size()), &parsed, &error), PeParse::damaged);
    EXPECT_NE(error.find("lies outside the file"), std::string::npos) << error;
  }
}

TEST(PeImage, EveryCutAndEveryDamagedByteOfTheHeadersIsReadSafely) {
  StubImageOptions options;
  const Bytes image = test_stub_image(options);
  // Cut anywhere: never the stub (a cut stub has no complete version block), never a crash.
  for (std::size_t size = 0; size < image.size(); ++size) {
    const Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_NE(identify(cut).kind, StubKind::installer) << size;
  }
  // Every byte of the headers and the resource section set to 0xFF, one at a time.
  std::size_t still_stub = 0;
  for (std::size_t at = 0; at < image.size(); ++at) {
    Bytes damaged = image;
    damaged[at] = 0xFF;
    still_stub += identify(damaged).kind == StubKind::installer ? 1 : 0;
  }
  EXPECT_GT(still_stub, 0u);  // bytes nothing reads (padding) change nothing
}

TEST(PeImage, AnImageWithoutASecurityDirectoryHasNoTable) {
  StubImageOptions options;
  Bytes image = test_stub_image(options);
  put32(image, test_stub_security_entry(options), 0x1000);
  put32(image, test_stub_security_entry(options) + 4, 8);
  put32(image, options.pe_offset + 24 + 92, 4);  // four directories end before the security entry
  PeImage parsed{};
  std::string error;
  ASSERT_EQ(pe_read_image(pe_source_bytes(image.data(), image.size()), &parsed, &error), PeParse::image);
  EXPECT_FALSE(parsed.certificate.present);
}

}  // namespace
