// Bounded reading of PE headers, the resource directory and the version block.
//
// Every offset and count comes from the file and is checked against what remains before
// it is used, with the arithmetic in 64 bits, so that no input can make a read run past
// the file or a sum wrap.

#include "tools/pe_image.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/little_endian.h"
#include "tools/name_rules.h"

namespace {

constexpr std::uint32_t DOS_LFANEW_AT = 0x3C;
constexpr std::uint32_t DOS_HEADER_SIZE = 0x40;
constexpr std::uint32_t COFF_HEADER_SIZE = 20;
constexpr std::uint32_t SECTION_HEADER_SIZE = 40;
// Offsets inside the optional header; PE32+ has an 8-byte ImageBase and stack and heap
// fields, which moves the later fields back by 16 bytes in all.
constexpr std::uint32_t OPTIONAL_SIZE_OF_HEADERS_AT = 60;
constexpr std::uint32_t OPTIONAL_SUBSYSTEM_AT = 68;
constexpr std::uint32_t DIRECTORY_COUNT_AT_PE32 = 92;
constexpr std::uint32_t DIRECTORY_COUNT_AT_PE32_PLUS = 108;
constexpr std::uint32_t DIRECTORY_RESOURCE = 2;
constexpr std::uint32_t DIRECTORY_SECURITY = 4;
constexpr std::uint32_t DIRECTORY_ENTRY_SIZE = 8;
// The largest optional header a linker writes (PE32+, 16 directories) is 240 bytes;
// anything up to this is read, the rest of a larger one is not needed.
constexpr std::uint32_t OPTIONAL_READ_LIMIT = 256;

constexpr std::uint32_t RESOURCE_DIRECTORY_SIZE = 16;
constexpr std::uint32_t RESOURCE_ENTRY_SIZE = 8;
constexpr std::uint32_t RESOURCE_DATA_ENTRY_SIZE = 16;
constexpr std::uint32_t RESOURCE_SUBDIRECTORY_BIT = 0x80000000u;
constexpr std::uint32_t RESOURCE_TYPE_VERSION = 16;
constexpr std::uint32_t RESOURCE_VERSION_ID = 1;
// A version block is a few hundred bytes; the limit only bounds what is read.
constexpr std::uint32_t VERSION_BLOCK_LIMIT = 64 * 1024;
constexpr std::uint32_t VERSION_NODE_HEADER = 6;  // wLength, wValueLength, wType
constexpr std::uint16_t VERSION_TYPE_TEXT = 1;
constexpr char VERSION_STRING_TABLE[] = "040904E4";

std::string hex_text(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

PeParse damaged(std::string* error, const std::string& why) {
  *error = why;
  return PeParse::damaged;
}

// One node of a version block: key, value and where its children lie, all as offsets
// into the block, each within the node and the node within the block.
struct VersionNode {
  std::string key;
  std::size_t value_at;
  std::size_t value_bytes;
  std::uint16_t type;
  std::size_t children_at;
  std::size_t end;
};

std::size_t align4(std::size_t at) { return (at + 3) & ~static_cast<std::size_t>(3); }

// UTF-16LE code units from at up to (not including) a zero unit or end, as UTF-8.
// Unpaired surrogates become U+FFFD. *stop receives the offset behind the zero unit.
std::string utf16_to_utf8(const unsigned char* data, std::size_t at, std::size_t end, std::size_t* stop) {
  std::string text;
  std::size_t pos = at;
  while (pos + 2 <= end) {
    std::uint32_t unit = le_load16(data + pos);
    pos += 2;
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && pos + 2 <= end && le_load16(data + pos) >= 0xDC00 &&
        le_load16(data + pos) <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (le_load16(data + pos) - 0xDC00);
      pos += 2;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      unit = 0xFFFD;
    }
    utf8_append(text, unit);
  }
  *stop = pos;
  return text;
}

bool read_version_node(const std::vector<unsigned char>& block, std::size_t at, std::size_t limit,
                       VersionNode* node) {
  if (at > limit || limit - at < VERSION_NODE_HEADER) return false;
  const unsigned char* data = block.data();
  const std::size_t length = le_load16(data + at);
  if (length < VERSION_NODE_HEADER || length > limit - at) return false;
  node->end = at + length;
  const std::uint16_t value_length = le_load16(data + at + 2);
  node->type = le_load16(data + at + 4);
  std::size_t key_end = 0;
  node->key = utf16_to_utf8(data, at + VERSION_NODE_HEADER, node->end, &key_end);
  node->value_at = align4(key_end);
  // Text values count UTF-16 units, binary ones bytes.
  node->value_bytes = node->type == VERSION_TYPE_TEXT ? std::size_t{value_length} * 2 : value_length;
  if (node->value_at > node->end || node->value_bytes > node->end - node->value_at) {
    node->value_at = node->end;
    node->value_bytes = 0;
  }
  node->children_at = align4(node->value_at + node->value_bytes);
  return true;
}

// Calls visit for each child of parent that parses; stops at the first that does not.
template <typename Visit>
void for_each_child(const std::vector<unsigned char>& block, const VersionNode& parent, Visit visit) {
  std::size_t at = parent.children_at;
  VersionNode child{};
  while (at < parent.end && read_version_node(block, at, parent.end, &child)) {
    visit(child);
    at = align4(child.end);
  }
}

bool same_ascii_ignoring_case(const std::string& a, const char* b) {
  const std::size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 32) : a[i];
    const char y = (b[i] >= 'a' && b[i] <= 'z') ? static_cast<char>(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// The entry of a resource directory with the given identifier, or (any_entry) its first
// entry; gives the entry's OffsetToData field, relative to the resource root.
bool resource_entry(const PeSource& source, std::uint64_t root, std::uint32_t resource_size,
                    std::uint32_t directory, bool any_entry, std::uint32_t id, std::uint32_t* target) {
  unsigned char header[RESOURCE_DIRECTORY_SIZE];
  if (directory > resource_size || resource_size - directory < RESOURCE_DIRECTORY_SIZE ||
      !pe_read_at(source, root + directory, header, sizeof header)) {
    return false;
  }
  const std::uint32_t named = le_load16(header + 12);
  const std::uint32_t numbered = le_load16(header + 14);
  const std::uint64_t entries_at = std::uint64_t{directory} + RESOURCE_DIRECTORY_SIZE;
  const std::uint64_t count = std::uint64_t{named} + numbered;
  if (count * RESOURCE_ENTRY_SIZE > resource_size - entries_at) return false;
  // Named entries come first; an identifier is looked for among the numbered ones.
  for (std::uint64_t i = any_entry ? 0 : named; i < count; ++i) {
    unsigned char entry[RESOURCE_ENTRY_SIZE];
    if (!pe_read_at(source, root + entries_at + i * RESOURCE_ENTRY_SIZE, entry, sizeof entry)) return false;
    if (any_entry || le_load32(entry) == id) {
      *target = le_load32(entry + 4);
      return true;
    }
  }
  return false;
}

}  // namespace

PeSource pe_source_bytes(const unsigned char* bytes, std::size_t size) { return PeSource{bytes, -1, size}; }

PeSource pe_source_fd(int fd, std::uint64_t size) { return PeSource{nullptr, fd, size}; }

bool pe_read_at(const PeSource& source, std::uint64_t offset, void* out, std::size_t length) {
  if (offset > source.size || length > source.size - offset) return false;
  if (source.bytes != nullptr) {
    std::memcpy(out, source.bytes + offset, length);
    return true;
  }
  unsigned char* into = static_cast<unsigned char*>(out);
  while (length > 0) {
    const ssize_t got = pread(source.fd, into, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

PeParse pe_read_image(const PeSource& source, PeImage* image, std::string* error) {
  *image = PeImage{};
  unsigned char dos[DOS_HEADER_SIZE];
  const std::size_t dos_have = source.size < sizeof dos ? static_cast<std::size_t>(source.size) : sizeof dos;
  if (!pe_read_at(source, 0, dos, dos_have)) {
    *error = "cannot be read";
    return PeParse::not_windows;
  }
  if (dos_have >= 4 && std::memcmp(dos, "\x7F" "ELF", 4) == 0) {
    *error = "is a Linux ELF program";
    return PeParse::elf;
  }
  if (dos_have < 2 || dos[0] != 'M' || dos[1] != 'Z') {
    *error = "is not a Windows program (no MZ header)";
    return PeParse::not_windows;
  }
  if (dos_have < DOS_LFANEW_AT + 4) {
    return damaged(error, "is cut short inside its DOS header (" + std::to_string(source.size) + " bytes)");
  }
  const std::uint32_t pe_at = le_load32(dos + DOS_LFANEW_AT);
  if (pe_at >= source.size) {
    return damaged(error, "is damaged: its PE header offset " + hex_text(pe_at) +
                              " lies outside the file of " + std::to_string(source.size) + " bytes");
  }
  unsigned char coff[4 + COFF_HEADER_SIZE];
  if (!pe_read_at(source, pe_at, coff, sizeof coff)) {
    return damaged(error, "is cut short inside its PE header at offset " + hex_text(pe_at));
  }
  if (std::memcmp(coff, "PE\0\0", 4) != 0) {
    return damaged(error, "is damaged: no PE signature at the PE header offset " + hex_text(pe_at));
  }
  image->header_offset = pe_at;
  image->machine = le_load16(coff + 4);
  const std::uint16_t section_count = le_load16(coff + 6);
  const std::uint32_t optional_size = le_load16(coff + 20);
  image->characteristics = le_load16(coff + 22);
  const std::uint64_t optional_at = std::uint64_t{pe_at} + sizeof coff;

  unsigned char optional[OPTIONAL_READ_LIMIT] = {};
  const std::uint32_t optional_read = optional_size < sizeof optional ? optional_size : sizeof optional;
  if (optional_size < 2 || !pe_read_at(source, optional_at, optional, optional_read)) {
    return damaged(error, "is cut short inside its optional header");
  }
  image->magic = le_load16(optional);
  std::uint32_t count_at = 0;
  if (image->magic == PE_MAGIC_PE32) {
    count_at = DIRECTORY_COUNT_AT_PE32;
  } else if (image->magic == PE_MAGIC_PE32_PLUS) {
    count_at = DIRECTORY_COUNT_AT_PE32_PLUS;
  } else {
    return damaged(error, "is damaged: unknown optional header magic " + hex_text(image->magic));
  }
  if (optional_read < count_at + 4) return damaged(error, "is damaged: its optional header is too short");
  image->size_of_headers = le_load32(optional + OPTIONAL_SIZE_OF_HEADERS_AT);
  image->subsystem = le_load16(optional + OPTIONAL_SUBSYSTEM_AT);
  const std::uint32_t directories = le_load32(optional + count_at);
  // A directory counts only when the count includes it and the optional header holds it.
  const auto directory = [&](std::uint32_t index, std::uint32_t* first, std::uint32_t* second) {
    const std::uint32_t at = count_at + 4 + index * DIRECTORY_ENTRY_SIZE;
    if (directories <= index || optional_read < at + DIRECTORY_ENTRY_SIZE) return;
    *first = le_load32(optional + at);
    *second = le_load32(optional + at + 4);
  };
  directory(DIRECTORY_RESOURCE, &image->resource_rva, &image->resource_size);
  directory(DIRECTORY_SECURITY, &image->certificate.offset, &image->certificate.size);
  image->certificate.present = image->certificate.size != 0;
  if (image->resource_size == 0) image->resource_rva = 0;

  if (section_count > PE_MAX_SECTIONS) {
    return damaged(error, "is damaged: " + std::to_string(section_count) + " sections");
  }
  const std::uint64_t table_at = optional_at + optional_size;
  for (std::uint16_t i = 0; i < section_count; ++i) {
    unsigned char section[SECTION_HEADER_SIZE];
    if (!pe_read_at(source, table_at + std::uint64_t{i} * SECTION_HEADER_SIZE, section, sizeof section)) {
      return damaged(error, "is cut short inside its section table");
    }
    const PeSection parsed{le_load32(section + 12), le_load32(section + 8), le_load32(section + 20), le_load32(section + 16)};
    // A program cut short loses the end of its last section: its code would be missing.
    if (std::uint64_t{parsed.raw_offset} + parsed.raw_size > source.size) {
      return damaged(error, "is cut short: section " + std::to_string(i + 1) + " runs to offset " +
                                std::to_string(std::uint64_t{parsed.raw_offset} + parsed.raw_size) +
                                ", past the end of the file at " + std::to_string(source.size));
    }
    image->sections[i] = parsed;
  }
  image->section_count = section_count;
  return PeParse::image;
}

bool pe_rva_to_offset(const PeImage& image, std::uint32_t rva, std::uint32_t length, std::uint64_t* offset) {
  if (rva < image.size_of_headers && length <= image.size_of_headers - rva) {
    *offset = rva;
    return true;
  }
  for (std::uint16_t i = 0; i < image.section_count; ++i) {
    const PeSection& section = image.sections[i];
    if (rva < section.virtual_address) continue;
    const std::uint64_t inside = rva - section.virtual_address;
    if (inside < section.raw_size && length <= section.raw_size - inside) {
      *offset = section.raw_offset + inside;
      return true;
    }
  }
  return false;
}

bool pe_version_strings(const PeSource& source, const PeImage& image, PeVersionStrings* strings) {
  *strings = PeVersionStrings{};
  std::uint64_t root = 0;
  if (image.resource_rva == 0 || !pe_rva_to_offset(image, image.resource_rva, image.resource_size, &root)) {
    return false;
  }
  // Type, then name (identifier 1), then the first language: three directory levels.
  std::uint32_t target = 0;
  if (!resource_entry(source, root, image.resource_size, 0, false, RESOURCE_TYPE_VERSION, &target) ||
      (target & RESOURCE_SUBDIRECTORY_BIT) == 0 ||
      !resource_entry(source, root, image.resource_size, target & ~RESOURCE_SUBDIRECTORY_BIT, false,
                      RESOURCE_VERSION_ID, &target) ||
      (target & RESOURCE_SUBDIRECTORY_BIT) == 0 ||
      !resource_entry(source, root, image.resource_size, target & ~RESOURCE_SUBDIRECTORY_BIT, true, 0,
                      &target) ||
      (target & RESOURCE_SUBDIRECTORY_BIT) != 0 || target > image.resource_size ||
      image.resource_size - target < RESOURCE_DATA_ENTRY_SIZE) {
    return false;
  }
  unsigned char data_entry[RESOURCE_DATA_ENTRY_SIZE];
  if (!pe_read_at(source, root + target, data_entry, sizeof data_entry)) return false;
  const std::uint32_t block_rva = le_load32(data_entry);
  const std::uint32_t block_size = le_load32(data_entry + 4);
  std::uint64_t block_at = 0;
  if (block_size > VERSION_BLOCK_LIMIT || !pe_rva_to_offset(image, block_rva, block_size, &block_at)) {
    return false;
  }
  std::vector<unsigned char> block(block_size);
  if (!pe_read_at(source, block_at, block.data(), block.size())) return false;

  VersionNode top{};
  if (!read_version_node(block, 0, block.size(), &top) || top.key != "VS_VERSION_INFO") return false;
  bool found = false;
  for_each_child(block, top, [&](const VersionNode& info) {
    if (info.key != "StringFileInfo") return;
    for_each_child(block, info, [&](const VersionNode& table) {
      if (!same_ascii_ignoring_case(table.key, VERSION_STRING_TABLE)) return;
      found = true;
      for_each_child(block, table, [&](const VersionNode& item) {
        std::size_t stop = 0;
        const std::string value =
            item.type == VERSION_TYPE_TEXT
                ? utf16_to_utf8(block.data(), item.value_at, item.value_at + item.value_bytes, &stop)
                : std::string();
        if (item.key == "FileDescription") strings->file_description = value;
        if (item.key == "InternalName") strings->internal_name = value;
        if (item.key == "ProductName") strings->product_name = value;
        if (item.key == "ProductVersion") strings->product_version = value;
      });
    });
  });
  return found;
}

std::string pe_machine_text(std::uint16_t machine) {
  if (machine == PE_MACHINE_I386) return "i386";
  if (machine == PE_MACHINE_AMD64) return "x86-64";
  return "machine " + hex_text(machine);
}
