// JSON reports and the shared pieces of the text ones.

#include "tools/pack_report.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "common/utf8.h"
#include "tools/archive_walk.h"
#include "tools/file_util.h"
#include "tools/pack_version.h"

namespace {

constexpr std::size_t HASH_BLOCK = 1 << 20;

std::string hex_bytes(const unsigned char* bytes, std::size_t length) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += DIGITS[bytes[i] >> 4];
    text += DIGITS[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace

PackJson report_entry(const ZipEntryInfo& info, std::int64_t header_offset) {
  const std::size_t length = walk_name_length(info);
  const std::string name(info.name, length);
  PackJson entry;
  entry["name"] = name;
  if (!utf8_valid(name.data(), length)) {
    entry["name_bytes"] = hex_bytes(reinterpret_cast<const unsigned char*>(name.data()), length);
  }
  entry["method"] = walk_method_text(info.method);
  entry["compressed_size"] = info.compressed_size;
  entry["uncompressed_size"] = info.uncompressed_size;
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08" PRIx32, info.crc32);
  entry["crc32"] = crc;
  entry["flags"] = info.flags;
  entry["header_offset"] = header_offset;
  return entry;
}

PackJson report_stub(const StubInfo& stub, const std::string& problem) {
  PackJson report;
  report["kind"] = stub_kind_text(stub.kind);
  report["product"] = stub.product.empty() ? PackJson() : PackJson(stub.product);
  report["problem"] = problem.empty() ? PackJson() : PackJson(problem);
  return report;
}

PackJson report_signature(const PeImage* image, const SignatureInfo* info, const std::string& problem) {
  PackJson report;
  const bool present = image != nullptr && image->certificate.present;
  report["present"] = present;
  if (present) {
    report["table_offset"] = image->certificate.offset;
    report["table_size"] = image->certificate.size;
    report["subject"] = info != nullptr ? PackJson(info->subject) : PackJson();
    report["not_before"] = info != nullptr ? PackJson(info->not_before) : PackJson();
    report["not_after"] = info != nullptr ? PackJson(info->not_after) : PackJson();
  }
  report["problem"] = problem.empty() ? PackJson() : PackJson(problem);
  return report;
}

PackJson report_walk_end(std::int64_t offset, const ArchiveEnd& end) {
  PackJson report;
  report["offset"] = offset;
  report["clean"] = end.problem.empty();
  report["central_directory"] = end.central_directory;
  report["comment"] = end.has_comment ? PackJson(end.comment) : PackJson();
  report["problem"] = end.problem.empty() ? PackJson() : PackJson(end.problem);
  return report;
}

void report_print(const PackJson& report) {
  const std::string text = report.dump(2, ' ', false, PackJson::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string archive_comment(int level) {
  return std::string("orvinta-pack ") + PACK_VERSION + ", level " + std::to_string(level);
}

bool file_sha256(const std::string& path, std::string* hex, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = io_error("cannot read", path);
    return false;
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
  std::vector<unsigned char> block(HASH_BLOCK);
  while (ok) {
    const ssize_t got = read(fd, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) *error = io_error("cannot read", path);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    ok = EVP_DigestUpdate(context, block.data(), static_cast<std::size_t>(got)) == 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(context, digest, &length) == 1;
  if (ok) *hex = hex_bytes(digest, length);
  else if (error->empty()) *error = "cannot compute the SHA-256 of " + path;
  EVP_MD_CTX_free(context);
  close(fd);
  return ok;
}
