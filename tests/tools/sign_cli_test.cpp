// Signed installers: orvinta-pack build signs the finished file with osslsigncode, and
// verify checks the signature, with a self-signed certificate made for each test.

#include <gtest/gtest.h>
#include <time.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "tests/support/zip_builder.h"
#include "tests/tools/tool_runner.h"
#include "tests/tools/stub_image.h"
#include "tools/pe_image.h"

namespace {

const std::string PACK = ORVINTA_PACK_PATH;

class PackSigning : public ::testing::Test {
 protected:
  ScratchFolder scratch;
  std::string stub, cert, key, payload;

  void SetUp() override {
    ASSERT_FALSE(scratch.path.empty());
    stub = scratch / "stub.exe";
    ASSERT_TRUE(zip_test_write_file(stub, test_stub_image()));
    cert = scratch / "cert.pem";
    key = scratch / "key.pem";
    const RunResult made = run_program({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                        "-out", cert, "-days", "2", "-subj", "/CN=Orvinta Test Signing",
                                        "-addext", "extendedKeyUsage=codeSigning"});
    ASSERT_EQ(made.exit_code, 0) << "openssl (Debian package openssl) must be installed: " << made.err;
    payload = scratch / "payload";
    ASSERT_EQ(run_program({"mkdir", payload}).exit_code, 0);
    ASSERT_TRUE(zip_test_write_file(payload + "/orvinta.exe", zip_test_random_bytes(30000, 7)));
    ASSERT_TRUE(zip_test_write_file(payload + "/readme.txt", zip_test_bytes(std::string(20000, 'r'))));
  }

  RunResult pack(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), PACK);
    return run_program(args, env);
  }

  RunResult build_signed(const std::string& out, const std::vector<std::string>& env = {},
                         const std::string& with_key = "") {
    return pack({"build", "--stub", stub, "--out", out, "--sign-cert", cert, "--sign-key",
                 with_key.empty() ? key : with_key, payload},
                env);
  }

  static PeCertificateTable table_of(const Bytes& file) {
    PeImage image{};
    std::string error;
    EXPECT_EQ(pe_read_image(pe_source_bytes(file.data(), file.size()), &image, &error), PeParse::image) << error;
    return image.certificate;
  }
};

TEST_F(PackSigning, SignedInstallerVerifiesListsAndExtracts) {
  const std::string out = scratch / "setup.exe";
  const RunResult built = build_signed(out);
  ASSERT_EQ(built.exit_code, 0) << "osslsigncode (Debian package osslsigncode) must be installed: " << built.err;
  const Bytes file = zip_test_file_contents(out);
  const PeCertificateTable table = table_of(file);
  ASSERT_TRUE(table.present);
  EXPECT_EQ(static_cast<std::size_t>(table.offset) + table.size, file.size()) << "the signature comes last";

  // The unsigned installer is the signed one without its signature: the archive is unchanged.
  const std::string plain = scratch / "plain.exe";
  ASSERT_EQ(pack({"build", "--stub", stub, "--out", plain, payload}).exit_code, 0);
  const Bytes plain_file = zip_test_file_contents(plain);
  ASSERT_LE(plain_file.size(), table.offset);
  const std::size_t after_headers = 0x200;  // the checksum and security entry lie in front
  EXPECT_TRUE(std::equal(plain_file.begin() + after_headers, plain_file.end(), file.begin() + after_headers));

  const RunResult verified = pack({"verify", "--ca-file", cert, out});
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_NE(verified.out.find("signature verified, signed by CN=Orvinta Test Signing"), std::string::npos)
      << verified.out;
  // Without the test certificate as the trusted root the chain leads nowhere.
  const RunResult untrusted = pack({"verify", out});
  EXPECT_EQ(untrusted.exit_code, 1);
  EXPECT_NE(untrusted.err.find("signature does not verify: the signer's certificate does not lead to a trusted "
                               "certificate authority (for a test certificate, name it with --ca-file)"),
            std::string::npos)
      << untrusted.err;
  EXPECT_EQ(std::count(untrusted.err.begin(), untrusted.err.end(), '\n'), 1) << untrusted.err;
  // osslsigncode's own report only with --verbose.
  const RunResult verbose = pack({"verify", "--verbose", out});
  EXPECT_NE(verbose.err.find("  | "), std::string::npos) << verbose.err;

  const RunResult listed = pack({"list", out});
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("\"orvinta.exe\""), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\"readme.txt\""), std::string::npos) << listed.out;
  const RunResult extracted = pack({"extract", out, scratch / "out"});
  ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
  EXPECT_EQ(zip_test_file_contents(scratch / "out/orvinta.exe"), zip_test_file_contents(payload + "/orvinta.exe"));
  EXPECT_EQ(zip_test_file_contents(scratch / "out/readme.txt"), zip_test_file_contents(payload + "/readme.txt"));
  EXPECT_EQ(folder_names(scratch.path),
            (std::vector<std::string>{"cert.pem", "key.pem", "out", "payload", "plain.exe", "setup.exe", "stub.exe"}))
      << "no temporary file is left beside the output";
}

TEST_F(PackSigning, ChangesAfterSigningAreCaught) {
  const std::string out = scratch / "setup.exe";
  ASSERT_EQ(build_signed(out).exit_code, 0);
  const Bytes file = zip_test_file_contents(out);
  const PeCertificateTable table = table_of(file);
  const std::string changed = scratch / "changed.exe";
  const auto verify_changed = [&](const Bytes& bytes) {
    EXPECT_TRUE(zip_test_write_file(changed, bytes));
    return pack({"verify", "--ca-file", cert, changed});
  };

  // One byte of the payload: the first entry's data lies behind the stub.
  Bytes flipped = file;
  flipped[test_stub_image().size() + 30 + 11 + 100] ^= 0x01;
  RunResult result = verify_changed(flipped);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("signature does not verify: the file was changed after it was signed"),
            std::string::npos)
      << result.err;

  // A byte of the central directory, which the archive checks alone let pass.
  Bytes central = file;
  central[table.offset - 40] ^= 0x01;
  result = verify_changed(central);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("signature does not verify"), std::string::npos) << result.err;
  const std::string plain = scratch / "plain.exe";
  ASSERT_EQ(pack({"build", "--stub", stub, "--out", plain, payload}).exit_code, 0);
  Bytes plain_central = zip_test_file_contents(plain);
  plain_central[table.offset - 40] ^= 0x01;
  ASSERT_TRUE(zip_test_write_file(plain, plain_central));
  const RunResult unsigned_result = pack({"verify", plain});
  EXPECT_EQ(unsigned_result.exit_code, 0) << "the change is one only the signature can catch: " << unsigned_result.err;

  // Bytes appended behind the signature are outside of it.
  Bytes appended = file;
  appended.insert(appended.end(), 16, 0x42);
  result = verify_changed(appended);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("does not end the file"), std::string::npos) << result.err;

  // An unsigned installer passes as "not signed", and fails when a signature is asked for.
  ASSERT_EQ(pack({"build", "--stub", stub, "--out", plain, payload}).exit_code, 0);
  result = pack({"verify", plain});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_NE(result.out.find("all intact; not signed"), std::string::npos) << result.out;
  for (const std::vector<std::string>& asks : {std::vector<std::string>{"--ca-file", cert},
                                               std::vector<std::string>{"--require-signature"}}) {
    std::vector<std::string> args = {"verify"};
    args.insert(args.end(), asks.begin(), asks.end());
    args.push_back(plain);
    result = pack(args);
    EXPECT_EQ(result.exit_code, 1) << asks[0];
    EXPECT_NE(result.err.find("is not signed, and " + asks[0] + " asks for a signature"), std::string::npos)
        << result.err;
  }
}

TEST_F(PackSigning, SourceDateEpochGivesTheSameSignedBytes) {
  const std::vector<std::string> epoch = {"SOURCE_DATE_EPOCH=1700000000"};
  ASSERT_EQ(build_signed(scratch / "a.exe", epoch).exit_code, 0);
  ASSERT_EQ(build_signed(scratch / "b.exe", epoch).exit_code, 0);
  EXPECT_EQ(zip_test_file_contents(scratch / "a.exe"), zip_test_file_contents(scratch / "b.exe"));
  // The signing time is in the signed bytes: another moment gives another file.
  ASSERT_EQ(build_signed(scratch / "c.exe", {"SOURCE_DATE_EPOCH=1700000001"}).exit_code, 0);
  EXPECT_NE(zip_test_file_contents(scratch / "a.exe"), zip_test_file_contents(scratch / "c.exe"));
}

TEST_F(PackSigning, FailedSigningKeepsTheOldOutputAndLeavesNothingBehind) {
  const std::string out = scratch / "setup.exe";
  const Bytes old = zip_test_bytes("the installer of yesterday");
  ASSERT_TRUE(zip_test_write_file(out, old));
  const std::vector<std::string> before = folder_names(scratch.path);
  RunResult result = build_signed(out, {}, scratch / "no-such-key.pem");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("no-such-key.pem"), std::string::npos) << result.err;
  EXPECT_EQ(zip_test_file_contents(out), old);
  EXPECT_EQ(folder_names(scratch.path), before);
  // A signer that cannot be started is reported the same way.
  result = pack({"build", "--stub", stub, "--out", out, "--sign-cert", cert, "--sign-key", key, payload},
                {"ORVINTA_OSSLSIGNCODE=" + scratch / "no-such-program"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("cannot run"), std::string::npos) << result.err;
  EXPECT_EQ(zip_test_file_contents(out), old);
  EXPECT_EQ(folder_names(scratch.path), before);
}

TEST_F(PackSigning, RefusesSignedStubsAndIncompleteSigningOptions) {
  const std::string out = scratch / "setup.exe";
  const std::string signed_stub = scratch / "signed-stub.exe";
  const RunResult stub_signed = run_program({"osslsigncode", "sign", "-certs", cert, "-key", key, "-in", stub,
                                             "-out", signed_stub});
  ASSERT_EQ(stub_signed.exit_code, 0) << stub_signed.out << stub_signed.err;
  RunResult result = pack({"build", "--stub", signed_stub, "--out", out, payload});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("is signed (certificate table at offset"), std::string::npos) << result.err;
  EXPECT_TRUE(zip_test_file_contents(out).empty());

  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--sign-cert", cert}, std::vector<std::string>{"--sign-key", key},
        std::vector<std::string>{"--timestamp-url", "http://timestamp.invalid"},
        std::vector<std::string>{"--sign-cert", cert, "--sign-key"}}) {
    std::vector<std::string> args = {"build", "--stub", stub, "--out", out};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(payload);
    result = pack(args);
    EXPECT_EQ(result.exit_code, 2) << options[0] << ": " << result.err;
  }
  EXPECT_TRUE(zip_test_file_contents(out).empty());
  EXPECT_EQ(pack({"verify", "--ca-file"}).exit_code, 2);
  EXPECT_EQ(pack({"verify", "--ca-file", cert, out, out}).exit_code, 2);
}

// Milliseconds since some fixed moment, for the cost of a refusal.
long long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

TEST_F(PackSigning, PassphraseProtectedPkcs12AndPemKeysSignAndVerify) {
  const std::string secret = "correct horse battery";
  const std::string pfx = scratch / "vendor.pfx";
  const std::string encrypted = scratch / "encrypted-key.pem";
  ASSERT_EQ(run_program({"openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx, "-passout",
                         "pass:" + secret}).exit_code, 0);
  ASSERT_EQ(run_program({"openssl", "pkcs8", "-topk8", "-in", key, "-out", encrypted, "-passout", "pass:" + secret})
                .exit_code, 0);
  const std::string pass_file = scratch / "pass.txt";
  ASSERT_TRUE(zip_test_write_file(pass_file, zip_test_bytes(secret + "\n")));
  // A signer that records how it was started, then runs the real one.
  const std::string recorder = scratch / "record-signer.sh";
  ASSERT_TRUE(zip_test_write_file(recorder, zip_test_bytes("#!/bin/sh\necho \"$@\" >> '" + scratch.path +
                                                           "/signer-args.txt'\nenv >> '" + scratch.path +
                                                           "/signer-args.txt'\nexec osslsigncode \"$@\"\n")));
  ASSERT_EQ(chmod(recorder.c_str(), 0755), 0);
  const struct {
    const char* what;
    std::vector<std::string> options;
    std::vector<std::string> env;
  } cases[] = {
      {"PKCS#12, passphrase in the environment", {"--sign-pkcs12", pfx, "--sign-pass-env", "VENDOR_PASS"},
       {"VENDOR_PASS=" + secret}},
      {"encrypted PEM key, passphrase in a file", {"--sign-cert", cert, "--sign-key", encrypted, "--sign-pass-file",
                                                   pass_file}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = scratch / "setup.exe";
    std::vector<std::string> args = {"build", "--stub", stub, "--out", out};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(payload);
    std::vector<std::string> env = c.env;
    env.push_back("ORVINTA_OSSLSIGNCODE=" + recorder);
    const RunResult built = pack(args, env);
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_NE(built.err.find("signed by CN=Orvinta Test Signing"), std::string::npos) << built.err;
    const RunResult verified = pack({"verify", "--ca-file", cert, out});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    EXPECT_NE(verified.out.find("signature verified"), std::string::npos);
    // The passphrase reached the signer through its standard input only.
    const Bytes record = zip_test_file_contents(scratch / "signer-args.txt");
    const std::string seen(record.begin(), record.end());
    EXPECT_NE(seen.find("-readpass -"), std::string::npos) << seen;
    EXPECT_EQ(seen.find(secret), std::string::npos) << seen;
    EXPECT_EQ(built.err.find(secret), std::string::npos);
    std::remove((scratch / "signer-args.txt").c_str());
  }
}

TEST_F(PackSigning, SigningMistakesFailAtOnceWithOneLine) {
  const std::string pfx = scratch / "vendor.pfx";
  const std::string encrypted = scratch / "encrypted-key.pem";
  ASSERT_EQ(run_program({"openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx, "-passout",
                         "pass:right"}).exit_code, 0);
  ASSERT_EQ(run_program({"openssl", "pkcs8", "-topk8", "-in", key, "-out", encrypted, "-passout", "pass:right"})
                .exit_code, 0);
  const std::string other_key = scratch / "other-key.pem";
  const std::string other_cert = scratch / "other-cert.pem";
  ASSERT_EQ(run_program({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", other_key, "-out",
                         other_cert, "-days", "2", "-subj", "/CN=Someone Else"}).exit_code, 0);
  const std::string expired = scratch / "expired.pem";
  const std::string request = scratch / "request.csr";
  ASSERT_EQ(run_program({"openssl", "req", "-new", "-key", key, "-subj", "/CN=Old Signing", "-out", request})
                .exit_code, 0);
  ASSERT_EQ(run_program({"openssl", "x509", "-req", "-in", request, "-signkey", key, "-days", "-1", "-out", expired})
                .exit_code, 0);
  const struct {
    const char* what;
    std::vector<std::string> options;
    std::vector<std::string> env;
    std::string message;
  } cases[] = {
      {"wrong passphrase, PKCS#12", {"--sign-pkcs12", pfx, "--sign-pass-env", "PASS"}, {"PASS=wrong"},
       "the passphrase does not open " + pfx + " (--sign-pkcs12): wrong passphrase"},
      {"wrong passphrase, PEM", {"--sign-cert", cert, "--sign-key", encrypted, "--sign-pass-env", "PASS"},
       {"PASS=wrong"}, "the passphrase does not decrypt " + encrypted + " (--sign-key): wrong passphrase"},
      {"no passphrase", {"--sign-cert", cert, "--sign-key", encrypted}, {}, encrypted + " (--sign-key) is encrypted"},
      {"unset variable", {"--sign-pkcs12", pfx, "--sign-pass-env", "NOT_SET_ANYWHERE"}, {},
       "the environment variable NOT_SET_ANYWHERE (--sign-pass-env) is not set"},
      {"mismatched key", {"--sign-cert", cert, "--sign-key", other_key}, {},
       "the key " + other_key + " does not belong to the certificate CN=Orvinta Test Signing in " + cert},
      {"expired certificate", {"--sign-cert", expired, "--sign-key", key}, {},
       "the certificate CN=Old Signing in " + expired + " expired on "},
      {"a key as certificate", {"--sign-cert", key, "--sign-key", key}, {}, "holds no certificate in PEM or DER form"},
      {"a PEM file as PKCS#12", {"--sign-pkcs12", cert}, {}, "is not a PKCS#12 (.pfx, .p12) file"},
      {"no signer", {"--sign-cert", cert, "--sign-key", key}, {"ORVINTA_OSSLSIGNCODE=/no/such/signer"},
       "cannot run /no/such/signer"},
  };
  // A payload large enough that compressing it would show in the time taken.
  ASSERT_TRUE(zip_test_write_file(payload + "/large.bin", zip_test_random_bytes(20 << 20, 9)));
  const std::string out = scratch / "setup.exe";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"build", "--stub", stub, "--out", out};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(payload);
    const long long start = now_ms();
    const RunResult result = pack(args, c.env);
    const long long took = now_ms() - start;
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_LT(took, 1000) << "checked before anything is compressed";
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.find("right"), std::string::npos);
    EXPECT_TRUE(zip_test_file_contents(out).empty());
  }
}

// The PE header may lie anywhere e_lfanew points: a signed installer whose header lies past
// the first 4 KiB is still seen as signed, its signature checked, and a stub like that is
// still refused as signed; an e_lfanew outside the file is a damaged file.
TEST_F(PackSigning, APeHeaderPastFourKibibytesInASignedFileIsFoundAndVerified) {
  StubImageOptions far;
  far.pe_offset = 0x1400;
  const std::string far_stub = scratch / "far-stub.exe";
  ASSERT_TRUE(zip_test_write_file(far_stub, test_stub_image(far)));
  const std::string out = scratch / "setup.exe";
  ASSERT_EQ(pack({"build", "--stub", far_stub, "--out", out, "--sign-cert", cert, "--sign-key", key, payload})
                .exit_code, 0);
  const Bytes file = zip_test_file_contents(out);
  ASSERT_TRUE(table_of(file).present);
  RunResult result = pack({"verify", "--ca-file", cert, out});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("signature verified"), std::string::npos) << result.out;
  // A change after signing is caught there too: the file is not taken for an unsigned one.
  Bytes changed = file;
  changed[test_stub_image(far).size() + 200] ^= 0x01;
  ASSERT_TRUE(zip_test_write_file(scratch / "changed.exe", changed));
  result = pack({"verify", scratch / "changed.exe"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("changed after it was signed"), std::string::npos) << result.err;
  // The signed installer as a stub: refused as signed.
  result = pack({"build", "--stub", out, "--out", scratch / "again.exe", payload});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("is signed (certificate table at offset"), std::string::npos) << result.err;
  // e_lfanew pointing outside the file.
  Bytes outside = file;
  outside[0x3C] = 0xF0;
  outside[0x3C + 1] = 0xFF;
  outside[0x3C + 2] = 0xFF;
  outside[0x3C + 3] = 0x7F;
  ASSERT_TRUE(zip_test_write_file(scratch / "outside.exe", outside));
  result = pack({"verify", scratch / "outside.exe"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("is damaged: its PE header offset 0x7FFFFFF0 lies outside the file"), std::string::npos)
      << result.err;
}

}  // namespace
