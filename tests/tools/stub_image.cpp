// Builder of small PE images with a version block.

#include "tests/tools/stub_image.h"

#include "common/little_endian.h"

#include <cstring>

namespace {

constexpr std::uint32_t SECTION_ALIGNMENT = 0x1000;
constexpr std::uint32_t FILE_ALIGNMENT = 0x200;

void put16(Bytes& b, std::size_t at, std::uint32_t v) { le_store16(b.data() + at, static_cast<std::uint16_t>(v)); }
void put32(Bytes& b, std::size_t at, std::uint32_t v) { le_store32(b.data() + at, v); }
void append16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void append32(Bytes& b, std::uint32_t v) {
  append16(b, v & 0xFFFF);
  append16(b, v >> 16);
}
void pad4(Bytes& b) {
  while (b.size() % 4 != 0) b.push_back(0);
}
std::uint32_t align(std::uint32_t value, std::uint32_t to) { return (value + to - 1) / to * to; }

Bytes utf16(const std::string& ascii) {
  Bytes units;
  for (char c : ascii) append16(units, static_cast<unsigned char>(c));
  append16(units, 0);
  return units;
}

// One node of a version block: wLength, wValueLength, wType, key, value, children.
Bytes version_node(const std::string& key, const Bytes& value, bool text, const std::vector<Bytes>& children) {
  Bytes node(6, 0);
  const Bytes key_units = utf16(key);
  node.insert(node.end(), key_units.begin(), key_units.end());
  pad4(node);
  node.insert(node.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    pad4(node);
    node.insert(node.end(), child.begin(), child.end());
  }
  put16(node, 0, static_cast<std::uint32_t>(node.size()));
  put16(node, 2, static_cast<std::uint32_t>(text ? value.size() / 2 : value.size()));
  put16(node, 4, text ? 1 : 0);
  return node;
}

Bytes version_block(const StubImageOptions& options) {
  const std::pair<std::string, std::string> strings[] = {
      {"CompanyName", "Tolvern"},
      {"FileDescription", options.description},
      {"FileVersion", "1.1.0"},
      {"InternalName", options.description},
      {"ProductName", options.product},
      {"ProductVersion", "1.1.0"},
  };
  std::vector<Bytes> items;
  for (const auto& item : strings) items.push_back(version_node(item.first, utf16(item.second), true, {}));
  const Bytes table = version_node("040904E4", {}, true, items);
  const Bytes file_info = version_node("StringFileInfo", {}, true, {table});
  Bytes fixed(52, 0);
  put32(fixed, 0, 0xFEEF04BD);
  return version_node("VS_VERSION_INFO", fixed, false, {file_info});
}

// Resource directory: type 16, name 1, language 1033, then the data entry and the block,
// for a section at the given address.
Bytes resource_section(const Bytes& block, std::uint32_t section_rva) {
  Bytes section;
  const auto directory = [&](std::uint32_t id, std::uint32_t target) {
    for (int i = 0; i < 3; ++i) append32(section, 0);  // characteristics, time, version
    append16(section, 0);                              // named entries
    append16(section, 1);                              // numbered entries
    append32(section, id);
    append32(section, target);
  };
  directory(16, 0x80000000u | 24);
  directory(1, 0x80000000u | 48);
  directory(1033, 72);
  append32(section, section_rva + 88);  // the data entry, at 72: the block's RVA and size
  append32(section, static_cast<std::uint32_t>(block.size()));
  append32(section, 0);
  append32(section, 0);
  section.insert(section.end(), block.begin(), block.end());
  return section;
}

}  // namespace

std::size_t test_stub_security_entry(const StubImageOptions& options) {
  return options.pe_offset + 24 + (options.pe32_plus ? 112 : 96) + 4 * 8;
}

Bytes test_stub_image(const StubImageOptions& options) {
  const std::uint32_t optional_size = options.pe32_plus ? 240 : 224;
  const std::uint32_t optional_at = options.pe_offset + 24;
  const std::uint32_t headers = align(optional_at + optional_size + 40, FILE_ALIGNMENT);
  const std::uint32_t section_rva = align(headers, SECTION_ALIGNMENT);
  const Bytes resources = options.version_block ? resource_section(version_block(options), section_rva) : Bytes();
  const std::uint32_t raw_size = align(static_cast<std::uint32_t>(resources.size()), FILE_ALIGNMENT);
  Bytes image(headers + raw_size, 0);
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, options.pe_offset);
  std::memcpy(image.data() + options.pe_offset, "PE\0\0", 4);
  const std::uint16_t machine = options.machine != 0 ? options.machine : (options.pe32_plus ? 0x8664 : 0x14C);
  put16(image, options.pe_offset + 4, machine);
  put16(image, options.pe_offset + 6, 1);  // one section
  put16(image, options.pe_offset + 20, optional_size);
  put16(image, options.pe_offset + 22, 0x0102 | (options.dll ? 0x2000 : 0));
  put16(image, optional_at, options.pe32_plus ? 0x20B : 0x10B);
  put32(image, optional_at + 32, SECTION_ALIGNMENT);
  put32(image, optional_at + 36, FILE_ALIGNMENT);
  put32(image, optional_at + 56, section_rva + align(raw_size, SECTION_ALIGNMENT));  // size of image
  put32(image, optional_at + 60, headers);
  put16(image, optional_at + 68, options.subsystem);
  const std::uint32_t directories_at = optional_at + (options.pe32_plus ? 108 : 92);
  put32(image, directories_at, 16);
  if (!resources.empty()) {
    put32(image, directories_at + 4 + 2 * 8, section_rva);
    put32(image, directories_at + 4 + 2 * 8 + 4, static_cast<std::uint32_t>(resources.size()));
  }
  const std::uint32_t section_at = optional_at + optional_size;
  std::memcpy(image.data() + section_at, ".rsrc\0\0\0", 8);
  put32(image, section_at + 8, static_cast<std::uint32_t>(resources.size()));
  put32(image, section_at + 12, section_rva);
  put32(image, section_at + 16, raw_size);
  put32(image, section_at + 20, headers);
  put32(image, section_at + 36, 0x40000040);  // initialized data, readable
  std::copy(resources.begin(), resources.end(), image.begin() + headers);
  return image;
}
