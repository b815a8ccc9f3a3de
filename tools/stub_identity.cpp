// Recognising the installer stub by its headers and version block.

#include "tools/stub_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/file_util.h"

namespace {

constexpr char INSTALLER_NAME[] = "Orvinta Installer";

bool names_the_installer(const PeVersionStrings& strings) {
  const std::string product_prefix = std::string(INSTALLER_NAME) + " ";
  return strings.file_description == INSTALLER_NAME && strings.internal_name == INSTALLER_NAME &&
         strings.product_name.compare(0, product_prefix.size(), product_prefix) == 0;
}

}  // namespace

StubInfo stub_identify(const PeSource& source) {
  StubInfo info{};
  switch (pe_read_image(source, &info.image, &info.detail)) {
    case PeParse::image: break;
    case PeParse::elf: info.kind = StubKind::elf; return info;
    case PeParse::not_windows: info.kind = StubKind::not_windows; return info;
    case PeParse::damaged: info.kind = StubKind::damaged; return info;
  }
  const PeImage& image = info.image;
  PeVersionStrings strings{};
  const bool ours = pe_version_strings(source, image, &strings) && names_the_installer(strings);
  if (ours) info.product = strings.product_name;
  const bool gui = image.subsystem == PE_SUBSYSTEM_GUI;
  const bool dll = (image.characteristics & PE_CHARACTERISTIC_DLL) != 0;
  if (image.machine == PE_MACHINE_AMD64) {
    info.kind = ours && gui && !dll && image.magic == PE_MAGIC_PE32_PLUS ? StubKind::x86_64_test
                                                                          : StubKind::windows_64;
  } else if (image.machine != PE_MACHINE_I386 || image.magic != PE_MAGIC_PE32) {
    info.kind = StubKind::other_machine;
  } else if (dll) {
    info.kind = StubKind::dll;
  } else if (!gui) {
    info.kind = StubKind::not_gui;
  } else {
    info.kind = ours ? StubKind::installer : StubKind::not_orvinta;
  }
  return info;
}

bool stub_identify_file(const std::string& path, StubInfo* info, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) {
    *error = io_error("cannot read", path);
    if (fd >= 0) close(fd);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = path + " is not a regular file";
    close(fd);
    return false;
  }
  *info = stub_identify(pe_source_fd(fd, static_cast<std::uint64_t>(status.st_size)));
  close(fd);
  return true;
}

std::string stub_problem(const std::string& path, const StubInfo& info, bool allow_x86_64_test_stub) {
  switch (info.kind) {
    case StubKind::installer: return std::string();
    case StubKind::x86_64_test:
      if (allow_x86_64_test_stub) return std::string();
      return path + " is a 64-bit Windows program; the x86-64 test build of the stub is accepted only with " +
             STUB_TEST_OPTION;
    case StubKind::elf: return path + " is a Linux ELF program, not an installer stub";
    case StubKind::not_windows: return path + " " + info.detail + ", not an installer stub";
    case StubKind::damaged: return path + " " + info.detail;
    case StubKind::windows_64: return path + " is a 64-bit Windows program, not the Orvinta installer stub";
    case StubKind::other_machine:
      return path + " is a Windows program for " + pe_machine_text(info.image.machine) +
             ", not the Orvinta installer stub (a 32-bit i386 program)";
    case StubKind::dll: return path + " is a Windows DLL, not the Orvinta installer stub";
    case StubKind::not_gui: return path + " is a Windows console program, not the Orvinta installer stub";
    case StubKind::not_orvinta:
      return path + " is not the Orvinta installer stub: its version block does not name the \"" +
             INSTALLER_NAME + "\"";
  }
  return path + " is not the Orvinta installer stub";
}

const char* stub_kind_text(StubKind kind) {
  switch (kind) {
    case StubKind::installer: return "installer";
    case StubKind::x86_64_test: return "x86-64-test";
    case StubKind::elf: return "elf";
    case StubKind::not_windows: return "not-windows";
    case StubKind::damaged: return "damaged";
    case StubKind::windows_64: return "windows-64";
    case StubKind::other_machine: return "other-machine";
    case StubKind::dll: return "dll";
    case StubKind::not_gui: return "console";
    case StubKind::not_orvinta: return "not-orvinta";
  }
  return "unknown";
}
