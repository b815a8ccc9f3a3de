#pragma once
// Who signed an installer and for how long the certificate is valid, read from its
// certificate table (a WIN_CERTIFICATE holding PKCS#7 signed data) with OpenSSL's
// libcrypto; and the same texts for a certificate file. Reading only: whether the
// signature holds is osslsigncode's check (tools/code_signing.h).

#include <openssl/x509.h>

#include <string>

#include "tools/pe_image.h"

struct SignatureInfo {
  std::string subject;     // the signer's subject, RFC 2253 ("CN=Orvinta Test Signing")
  std::string not_before;  // "2026-01-01 00:00:00 UTC"
  std::string not_after;
};

// The signer of the certificate table's first entry. False, with the reason, when the
// table cannot be read or holds no PKCS#7 signed data naming its signer.
bool signature_info_read(const PeSource& source, const PeCertificateTable& table, SignatureInfo* info,
                         std::string* error);

bool signature_info_file(const char* path, const PeCertificateTable& table, SignatureInfo* info,
                         std::string* error);

std::string certificate_subject(X509* certificate);
std::string certificate_time(const ASN1_TIME* moment);

// OpenSSL's queued error lines, taken off its queue ("" when there are none).
std::string openssl_errors();
