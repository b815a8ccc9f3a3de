#pragma once
// Authenticode signing and checking of finished installers through Debian's osslsigncode,
// run as a child process (never through a shell). ORVINTA_OSSLSIGNCODE names another
// program to run in its place.

#include <string>

struct SignOptions {
  std::string certificate;    // PEM or DER certificate (chain) of the signer
  std::string key;            // the signer's private key, unencrypted
  std::string timestamp_url;  // RFC 3161 time-stamping server; empty: none
};

// Signs input into output, which must not exist yet. The signature is appended last and
// covers everything in front of it, the archive included. SOURCE_DATE_EPOCH, when set,
// is the signing time, so that the same key signs the same file into the same bytes
// (unless a time-stamping server adds its own time). False, with osslsigncode's report.
bool sign_file(const SignOptions& options, const std::string& input, const std::string& output,
               std::string* error);

// Checks the signature of path; ca_file, when not empty, is the certificate (bundle)
// the signer's chain must lead to instead of the system's. False, with the reason.
bool verify_signature(const std::string& path, const std::string& ca_file, std::string* error);
