#pragma once
// The Authenticode certificate table of a Windows executable: the security entry of the
// optional header's data directories, which gives a file offset (not an address) and a
// size. A signed file carries it last, behind the image and any appended archive.

#include <cstdint>
#include <string>

struct PeCertificateTable {
  bool present;          // the entry is set (size not 0)
  std::uint32_t offset;  // file offset of the first WIN_CERTIFICATE
  std::uint32_t size;    // bytes, padding to 8 included
};

// Reads the headers of the PE image in path. False, with a reason, when the file is not
// a PE image or its headers are cut short.
bool pe_certificate_table(const char* path, PeCertificateTable* table, std::string* error);

// The same from the first bytes of a file (the headers lie within the first 4 KiB of
// any image a linker writes; a larger e_lfanew is read as far as the bytes reach).
bool pe_certificate_table_from(const unsigned char* bytes, std::size_t size, PeCertificateTable* table,
                               std::string* error);
