#pragma once
// Everything signing needs, checked before anything is compressed: the passphrase is
// available, the files exist and parse (certificate, key or PKCS#12), the key belongs to
// the certificate, the certificate is valid now, and osslsigncode runs. Takes a few
// milliseconds, so a mistake costs no packing time.

#include <string>

#include "tools/code_signing.h"

struct SignReady {
  bool have_passphrase;
  std::string passphrase;  // kept in memory only, never printed
  std::string subject;     // the signer's certificate
  std::string not_after;
};

// False with a one-line reason naming the file and the cause; *details then holds
// OpenSSL's or osslsigncode's own text (for --verbose), possibly empty.
bool sign_check(const SignOptions& options, SignReady* ready, std::string* error, std::string* details);
