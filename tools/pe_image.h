#pragma once
// The headers of a Windows executable as far as orvinta-pack needs them: the DOS header's
// pointer to the PE header, the COFF header, the optional header with its data
// directories (resources, certificate table), the section table, and the version block
// among the resources. Every read is bounded by the file: the PE header may lie anywhere
// the pointer at 0x3C says, as long as it lies inside the file.
//
// The parser reads through a PeSource, a file descriptor or bytes in memory, so that the
// same code serves the commands and callers that hold the whole file in a buffer.

#include <cstddef>
#include <cstdint>
#include <string>

struct PeSource {
  const unsigned char* bytes;  // the whole file, or nullptr to read fd
  int fd;
  std::uint64_t size;
};

PeSource pe_source_bytes(const unsigned char* bytes, std::size_t size);
PeSource pe_source_fd(int fd, std::uint64_t size);
// Copies length bytes at offset; false when any of them lies past the end or a read fails.
bool pe_read_at(const PeSource& source, std::uint64_t offset, void* out, std::size_t length);

constexpr std::uint16_t PE_MACHINE_I386 = 0x14C;
constexpr std::uint16_t PE_MACHINE_AMD64 = 0x8664;
constexpr std::uint16_t PE_MAGIC_PE32 = 0x10B;
constexpr std::uint16_t PE_MAGIC_PE32_PLUS = 0x20B;
constexpr std::uint16_t PE_SUBSYSTEM_GUI = 2;
constexpr std::uint16_t PE_SUBSYSTEM_CONSOLE = 3;
constexpr std::uint16_t PE_CHARACTERISTIC_DLL = 0x2000;
// The section table of a real image is short; more than this is taken as damage.
constexpr std::size_t PE_MAX_SECTIONS = 96;

struct PeSection {
  std::uint32_t virtual_address;
  std::uint32_t virtual_size;
  std::uint32_t raw_offset;
  std::uint32_t raw_size;
};

// The Authenticode certificate table: a file offset (not an address) and a size. A signed
// file carries it last, behind the image and any appended archive.
struct PeCertificateTable {
  bool present;          // the security directory entry is set (size not 0)
  std::uint32_t offset;  // file offset of the first WIN_CERTIFICATE
  std::uint32_t size;    // bytes, padding to 8 included
};

struct PeImage {
  std::uint32_t header_offset;  // e_lfanew: file offset of "PE\0\0"
  std::uint16_t machine;
  std::uint16_t characteristics;
  std::uint16_t magic;          // PE_MAGIC_PE32 or PE_MAGIC_PE32_PLUS
  std::uint16_t subsystem;
  std::uint32_t size_of_headers;
  std::uint32_t resource_rva;   // 0 when the image has no resources
  std::uint32_t resource_size;
  PeCertificateTable certificate;
  std::uint16_t section_count;
  PeSection sections[PE_MAX_SECTIONS];
};

enum class PeParse : std::uint8_t {
  image,        // headers read
  not_windows,  // no MZ header: some other kind of file
  elf,          // a Linux (ELF) program
  damaged,      // an MZ file whose PE headers point outside the file or are cut short
};

// Reads the headers. For anything but PeParse::image, *error says what was found.
PeParse pe_read_image(const PeSource& source, PeImage* image, std::string* error);

// The file offset of an address inside the image, through the section table (or the
// headers); false when no section holds length bytes at that address in the file.
bool pe_rva_to_offset(const PeImage& image, std::uint32_t rva, std::uint32_t length,
                      std::uint64_t* offset);

// The version block's string table "040904E4", as UTF-8 key/value pairs found in
// RT_VERSION resource 1 (any language). False when the image carries no readable one.
struct PeVersionStrings {
  std::string file_description;
  std::string internal_name;
  std::string product_name;
  std::string product_version;
};
bool pe_version_strings(const PeSource& source, const PeImage& image, PeVersionStrings* strings);

// "i386", "x86-64" or "machine 0x1C4", for messages.
std::string pe_machine_text(std::uint16_t machine);
