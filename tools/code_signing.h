#pragma once
// Authenticode signing and checking of finished installers through Debian's osslsigncode,
// run as a child process (never through a shell). ORVINTA_OSSLSIGNCODE names another
// program to run in its place. A passphrase reaches osslsigncode through a pipe on its
// standard input ("-readpass -"), never on a command line, so no process listing shows it.

#include <string>

struct SignOptions {
  std::string certificate;    // PEM or DER certificate (chain) of the signer
  std::string key;            // the signer's private key, PEM or DER, encrypted or not
  std::string pkcs12;         // or both in one PKCS#12 (.pfx) file
  std::string pass_env;       // the passphrase is in this environment variable
  std::string pass_file;      // or in this file (one trailing line end is not part of it)
  std::string timestamp_url;  // RFC 3161 time-stamping server; empty: none
};

bool sign_requested(const SignOptions& options);

// The name of the program that signs and verifies.
std::string signer_program();

// True when the signer starts and reports its version; otherwise false with the reason.
// hidden_variable (a passphrase's) is kept out of its environment.
bool signer_runs(const std::string& hidden_variable, std::string* error);

// Signs input into output, which must not exist yet. The signature is appended last and
// covers everything in front of it, the archive included. SOURCE_DATE_EPOCH, when set,
// is the signing time, so that the same key signs the same file into the same bytes
// (unless a time-stamping server adds its own time). have_passphrase says whether to
// hand passphrase to the signer. False with a one-line reason; *report gets the signer's
// own output for --verbose.
bool sign_file(const SignOptions& options, bool have_passphrase, const std::string& passphrase,
               const std::string& input, const std::string& output, std::string* error,
               std::string* report);

// Checks the signature of path; ca_file, when not empty, is the certificate (bundle)
// the signer's chain must lead to instead of the system's. False with the reason in
// the tool's words; *report gets osslsigncode's own output.
bool verify_signature(const std::string& path, const std::string& ca_file, std::string* error,
                      std::string* report);
