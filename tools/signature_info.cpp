// The signer of an Authenticode signature, for reports.

#include "tools/signature_info.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/little_endian.h"
#include "tools/file_util.h"

namespace {

constexpr std::uint32_t WIN_CERTIFICATE_HEADER = 8;  // dwLength, wRevision, wCertificateType
constexpr std::uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2;
// A signature with its chain and a time stamp is a few kilobytes; the limit only bounds
// what a damaged table could make the tool read.
constexpr std::uint32_t CERTIFICATE_TABLE_LIMIT = 16 * 1024 * 1024;

}  // namespace

std::string certificate_subject(X509* certificate) {
  BIO* text = BIO_new(BIO_s_mem());
  if (text == nullptr) return std::string();
  X509_NAME_print_ex(text, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  const long length = BIO_get_mem_data(text, &data);
  std::string subject(data, length > 0 ? static_cast<std::size_t>(length) : 0);
  BIO_free(text);
  return subject;
}

std::string certificate_time(const ASN1_TIME* moment) {
  std::tm parts{};
  if (moment == nullptr || ASN1_TIME_to_tm(moment, &parts) != 1) return "(unreadable time)";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string openssl_errors() {
  std::string lines;
  char line[256];
  while (const unsigned long code = ERR_get_error()) {
    ERR_error_string_n(code, line, sizeof line);
    if (!lines.empty()) lines += '\n';
    lines += line;
  }
  return lines;
}

bool signature_info_read(const PeSource& source, const PeCertificateTable& table, SignatureInfo* info,
                         std::string* error) {
  *info = SignatureInfo{};
  if (!table.present || table.size < WIN_CERTIFICATE_HEADER || table.size > CERTIFICATE_TABLE_LIMIT) {
    *error = "the certificate table has an impossible size (" + std::to_string(table.size) + " bytes)";
    return false;
  }
  std::vector<unsigned char> bytes(table.size);
  if (!pe_read_at(source, table.offset, bytes.data(), bytes.size())) {
    *error = "the certificate table lies outside the file";
    return false;
  }
  const std::uint32_t length = le_load32(bytes.data());
  const std::uint16_t type = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
  if (length < WIN_CERTIFICATE_HEADER || length > bytes.size() || type != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
    *error = "the certificate table holds no Authenticode signature";
    return false;
  }
  const unsigned char* der = bytes.data() + WIN_CERTIFICATE_HEADER;
  PKCS7* signed_data = d2i_PKCS7(nullptr, &der, static_cast<long>(length - WIN_CERTIFICATE_HEADER));
  STACK_OF(X509)* signers =
      signed_data != nullptr && PKCS7_type_is_signed(signed_data) ? PKCS7_get0_signers(signed_data, nullptr, 0)
                                                                  : nullptr;
  const bool found = signers != nullptr && sk_X509_num(signers) > 0;
  if (found) {
    X509* signer = sk_X509_value(signers, 0);
    info->subject = certificate_subject(signer);
    info->not_before = certificate_time(X509_get0_notBefore(signer));
    info->not_after = certificate_time(X509_get0_notAfter(signer));
  } else {
    *error = "the signature's PKCS#7 data does not parse or names no signer";
  }
  sk_X509_free(signers);
  PKCS7_free(signed_data);
  ERR_clear_error();
  return found;
}

bool signature_info_file(const char* path, const PeCertificateTable& table, SignatureInfo* info,
                         std::string* error) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) {
    *error = io_error("cannot read", path);
    if (fd >= 0) close(fd);
    return false;
  }
  const bool ok = signature_info_read(pe_source_fd(fd, static_cast<std::uint64_t>(status.st_size)), table, info, error);
  close(fd);
  return ok;
}
