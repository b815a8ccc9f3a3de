// The checks of the signing material, with OpenSSL's libcrypto.

#include "tools/sign_check.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <vector>

#include "tools/file_util.h"
#include "tools/signature_info.h"

namespace {

// Longer than any passphrase a person types; bounds what a wrong file makes us read.
constexpr std::size_t PASSPHRASE_LIMIT = 4096;
// Certificates, keys and PKCS#12 files are a few kilobytes.
constexpr std::size_t SIGNING_FILE_LIMIT = 1 << 20;

struct Passphrase {
  const SignReady* ready;
  bool asked;  // the file turned out to be encrypted
};

// OpenSSL's passphrase callback: hands over the passphrase, or nothing when none was given.
extern "C" int give_passphrase(char* buffer, int size, int, void* user) {
  Passphrase* pass = static_cast<Passphrase*>(user);
  pass->asked = true;
  if (!pass->ready->have_passphrase) return -1;
  const std::string& text = pass->ready->passphrase;
  if (text.size() > static_cast<std::size_t>(size)) return -1;
  std::copy(text.begin(), text.end(), buffer);
  return static_cast<int>(text.size());
}

bool read_passphrase(const SignOptions& options, SignReady* ready, std::string* error) {
  ready->have_passphrase = false;
  if (!options.pass_env.empty()) {
    const char* value = std::getenv(options.pass_env.c_str());
    if (value == nullptr) {
      *error = "the environment variable " + options.pass_env + " (--sign-pass-env) is not set";
      return false;
    }
    ready->passphrase = value;
  } else if (!options.pass_file.empty()) {
    std::vector<unsigned char> bytes;
    if (!file_read_all(options.pass_file.c_str(), &bytes, error)) return false;
    if (bytes.size() > PASSPHRASE_LIMIT) {
      *error = options.pass_file + " (--sign-pass-file) is larger than a passphrase can be";
      return false;
    }
    ready->passphrase.assign(bytes.begin(), bytes.end());
    // An editor's line end is not part of the passphrase (osslsigncode reads it the same way).
    if (!ready->passphrase.empty() && ready->passphrase.back() == '\n') ready->passphrase.pop_back();
    if (!ready->passphrase.empty() && ready->passphrase.back() == '\r') ready->passphrase.pop_back();
  } else {
    return true;
  }
  if (ready->passphrase.size() > PASSPHRASE_LIMIT) {
    *error = "the passphrase is longer than " + std::to_string(PASSPHRASE_LIMIT) + " bytes";
    return false;
  }
  ready->have_passphrase = true;
  return true;
}

bool read_signing_file(const std::string& path, const char* option, std::vector<unsigned char>* bytes,
                       std::string* error) {
  if (!file_read_all(path.c_str(), bytes, error)) {
    *error += std::string(" (") + option + ")";
    return false;
  }
  if (bytes->size() > SIGNING_FILE_LIMIT) {
    *error = path + " (" + option + ") is too large to be a certificate or key file";
    return false;
  }
  return true;
}

// Every certificate of a PEM file (a chain), or the one certificate of a DER file.
std::vector<X509*> read_certificates(const std::vector<unsigned char>& bytes) {
  std::vector<X509*> certificates;
  BIO* input = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  while (X509* certificate = PEM_read_bio_X509(input, nullptr, nullptr, nullptr)) {
    certificates.push_back(certificate);
  }
  BIO_free(input);
  if (certificates.empty()) {
    const unsigned char* der = bytes.data();
    if (X509* certificate = d2i_X509(nullptr, &der, static_cast<long>(bytes.size()))) {
      certificates.push_back(certificate);
    }
  }
  ERR_clear_error();  // the reads that found no further certificate
  return certificates;
}

// PEM (any kind, encrypted or not), then DER (PKCS#8, encrypted or not, or traditional).
EVP_PKEY* read_key(const std::vector<unsigned char>& bytes, Passphrase* pass) {
  BIO* input = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(input, nullptr, give_passphrase, pass);
  if (key == nullptr && !pass->asked) {
    BIO_free(input);
    input = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    key = d2i_PKCS8PrivateKey_bio(input, nullptr, give_passphrase, pass);
  }
  if (key == nullptr && !pass->asked) {
    const unsigned char* der = bytes.data();
    key = d2i_AutoPrivateKey(nullptr, &der, static_cast<long>(bytes.size()));
  }
  BIO_free(input);
  return key;
}

bool check_validity(X509* certificate, const std::string& path, std::string* error) {
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
    *error = "the certificate " + certificate_subject(certificate) + " in " + path + " expired on " +
             certificate_time(X509_get0_notAfter(certificate));
    return false;
  }
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0) {
    *error = "the certificate " + certificate_subject(certificate) + " in " + path + " is not valid before " +
             certificate_time(X509_get0_notBefore(certificate));
    return false;
  }
  return true;
}

bool check_pem_pair(const SignOptions& options, SignReady* ready, std::string* error) {
  std::vector<unsigned char> bytes;
  if (!read_signing_file(options.certificate, "--sign-cert", &bytes, error)) return false;
  std::vector<X509*> certificates = read_certificates(bytes);
  if (certificates.empty()) {
    *error = options.certificate + " (--sign-cert) holds no certificate in PEM or DER form";
    return false;
  }
  bool ok = read_signing_file(options.key, "--sign-key", &bytes, error);
  Passphrase pass{ready, false};
  EVP_PKEY* key = ok ? read_key(bytes, &pass) : nullptr;
  if (ok && key == nullptr) {
    ok = false;
    if (pass.asked && !ready->have_passphrase) {
      *error = options.key + " (--sign-key) is encrypted: give its passphrase with --sign-pass-env NAME "
                             "or --sign-pass-file FILE";
    } else if (pass.asked) {
      *error = "the passphrase does not decrypt " + options.key + " (--sign-key): wrong passphrase";
    } else {
      *error = options.key + " (--sign-key) holds no private key in PEM or DER form";
    }
  }
  X509* signer = nullptr;
  for (X509* certificate : certificates) {
    if (key != nullptr && signer == nullptr && X509_check_private_key(certificate, key) == 1) signer = certificate;
  }
  ERR_clear_error();  // the certificates of the chain that the key does not belong to
  if (ok && signer == nullptr) {
    ok = false;
    *error = "the key " + options.key + " does not belong to the certificate " +
             certificate_subject(certificates.front()) + " in " + options.certificate;
  }
  ok = ok && check_validity(signer, options.certificate, error);
  if (ok) {
    ready->subject = certificate_subject(signer);
    ready->not_after = certificate_time(X509_get0_notAfter(signer));
  }
  EVP_PKEY_free(key);
  for (X509* certificate : certificates) X509_free(certificate);
  return ok;
}

bool check_pkcs12(const SignOptions& options, SignReady* ready, std::string* error) {
  std::vector<unsigned char> bytes;
  if (!read_signing_file(options.pkcs12, "--sign-pkcs12", &bytes, error)) return false;
  const unsigned char* der = bytes.data();
  PKCS12* bundle = d2i_PKCS12(nullptr, &der, static_cast<long>(bytes.size()));
  if (bundle == nullptr) {
    *error = options.pkcs12 + " (--sign-pkcs12) is not a PKCS#12 (.pfx, .p12) file";
    return false;
  }
  // Without a passphrase option, the empty passphrase (and none at all) are what unprotected
  // files use.
  const char* pass = ready->have_passphrase ? ready->passphrase.c_str() : "";
  const int pass_length = static_cast<int>(ready->have_passphrase ? ready->passphrase.size() : 0);
  bool ok = true;
  if (PKCS12_mac_present(bundle) && PKCS12_verify_mac(bundle, pass, pass_length) != 1 &&
      (ready->have_passphrase || PKCS12_verify_mac(bundle, nullptr, 0) != 1)) {
    ok = false;
    *error = ready->have_passphrase
                 ? "the passphrase does not open " + options.pkcs12 + " (--sign-pkcs12): wrong passphrase"
                 : options.pkcs12 + " (--sign-pkcs12) is protected by a passphrase: give it with "
                                    "--sign-pass-env NAME or --sign-pass-file FILE";
  }
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  if (ok && PKCS12_parse(bundle, pass, &key, &certificate, nullptr) != 1) {
    // Files exported with older tools encrypt with RC2 or 3DES, which OpenSSL 3 keeps in
    // its legacy provider.
    ERR_clear_error();
    OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
    if (PKCS12_parse(bundle, pass, &key, &certificate, nullptr) != 1) {
      ok = false;
      *error = options.pkcs12 + " (--sign-pkcs12) uses an encryption that OpenSSL cannot read";
    }
  }
  if (ok && (key == nullptr || certificate == nullptr)) {
    ok = false;
    *error = options.pkcs12 + " (--sign-pkcs12) holds no " + (key == nullptr ? "private key" : "certificate");
  }
  if (ok && X509_check_private_key(certificate, key) != 1) {
    ok = false;
    *error = "the key in " + options.pkcs12 + " does not belong to its certificate " + certificate_subject(certificate);
  }
  ok = ok && check_validity(certificate, options.pkcs12, error);
  if (ok) {
    ready->subject = certificate_subject(certificate);
    ready->not_after = certificate_time(X509_get0_notAfter(certificate));
  }
  EVP_PKEY_free(key);
  X509_free(certificate);
  PKCS12_free(bundle);
  return ok;
}

}  // namespace

bool sign_check(const SignOptions& options, SignReady* ready, std::string* error, std::string* details) {
  *ready = SignReady{};
  details->clear();
  ERR_clear_error();
  bool ok = read_passphrase(options, ready, error);
  if (ok) ok = options.pkcs12.empty() ? check_pem_pair(options, ready, error) : check_pkcs12(options, ready, error);
  *details = openssl_errors();
  if (ok && !signer_runs(options.pass_env, error)) {
    ok = false;
  }
  return ok;
}
