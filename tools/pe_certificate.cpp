// Finding the Authenticode certificate table in a PE image's headers: whether a stub or
// an installer is signed, and where its signature lies. Only reads, and never trusts a
// field of the file: every offset is checked against the bytes actually read before it
// is followed, so a damaged or hostile file gives a reason, never a read past the buffer.

#include "tools/pe_certificate.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/little_endian.h"

namespace {

constexpr std::size_t HEADER_BYTES = 4096;
constexpr std::size_t DOS_LFANEW_AT = 0x3C;
constexpr std::size_t COFF_HEADER_SIZE = 20;
constexpr std::size_t COFF_OPTIONAL_SIZE_AT = 16;   // SizeOfOptionalHeader, within the COFF header
constexpr std::uint16_t MAGIC_PE32 = 0x10B;
constexpr std::uint16_t MAGIC_PE32_PLUS = 0x20B;
// Where NumberOfRvaAndSizes and the data directories start inside the optional header.
constexpr std::size_t DIRECTORY_COUNT_AT_PE32 = 92;
constexpr std::size_t DIRECTORY_COUNT_AT_PE32_PLUS = 108;
constexpr std::uint32_t SECURITY_DIRECTORY = 4;
constexpr std::size_t DIRECTORY_ENTRY_SIZE = 8;

}  // namespace

bool pe_certificate_table_from(const unsigned char* bytes, std::size_t size, PeCertificateTable* table,
                               std::string* error) {
  *table = PeCertificateTable{false, 0, 0};
  if (size < DOS_LFANEW_AT + 4 || bytes[0] != 'M' || bytes[1] != 'Z') {
    *error = "not a Windows executable (no MZ header)";
    return false;
  }
  const std::size_t pe_at = le_load32(bytes + DOS_LFANEW_AT);
  // Each bound is checked against what is left, so that no sum can wrap.
  if (pe_at > size || size - pe_at < 4 + COFF_HEADER_SIZE + 2 || std::memcmp(bytes + pe_at, "PE\0\0", 4) != 0) {
    *error = "not a Windows executable (no PE header)";
    return false;
  }
  const std::size_t coff_at = pe_at + 4;
  const std::size_t optional_at = coff_at + COFF_HEADER_SIZE;
  const std::size_t optional_size = le_load16(bytes + coff_at + COFF_OPTIONAL_SIZE_AT);
  const std::uint16_t magic = le_load16(bytes + optional_at);
  std::size_t count_at = 0;
  if (magic == MAGIC_PE32) {
    count_at = DIRECTORY_COUNT_AT_PE32;
  } else if (magic == MAGIC_PE32_PLUS) {
    count_at = DIRECTORY_COUNT_AT_PE32_PLUS;
  } else {
    *error = "unknown optional header magic " + std::to_string(magic);
    return false;
  }
  if (optional_size > size - optional_at || optional_size < count_at + 4) {
    *error = "the optional header is cut short";
    return false;
  }
  const std::uint32_t directories = le_load32(bytes + optional_at + count_at);
  const std::size_t entry_at = count_at + 4 + SECURITY_DIRECTORY * DIRECTORY_ENTRY_SIZE;
  // An image with fewer directories, or an optional header that ends first, has no table.
  if (directories <= SECURITY_DIRECTORY || optional_size < entry_at + DIRECTORY_ENTRY_SIZE) return true;
  table->offset = le_load32(bytes + optional_at + entry_at);
  table->size = le_load32(bytes + optional_at + entry_at + 4);
  table->present = table->size != 0;
  return true;
}

bool pe_certificate_table(const char* path, PeCertificateTable* table, std::string* error) {
  FILE* input = std::fopen(path, "rb");
  if (input == nullptr) {
    *error = std::string("cannot open ") + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<unsigned char> bytes(HEADER_BYTES);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), input));
  std::fclose(input);
  if (!pe_certificate_table_from(bytes.data(), bytes.size(), table, error)) {
    *error = std::string(path) + ": " + *error;
    return false;
  }
  return true;
}
