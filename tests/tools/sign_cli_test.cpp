// Signed installers: orvinta-pack build signs the finished file with osslsigncode, and
// verify checks the signature, with a self-signed certificate made for each test.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "tests/support/zip_builder.h"
#include "tests/tools/tool_runner.h"
#include "tools/pe_certificate.h"

namespace {

const std::string PACK = ORVINTA_PACK_PATH;

void put16(Bytes& b, std::size_t at, std::uint16_t v) { le_store16(b.data() + at, v); }
void put32(Bytes& b, std::size_t at, std::uint32_t v) { le_store32(b.data() + at, v); }

constexpr std::size_t PE_AT = 0x80;
constexpr std::size_t OPTIONAL_AT = PE_AT + 24;

// The smallest image osslsigncode accepts: DOS header, PE signature, COFF header and an
// optional header of the given kind with 16 data directories, no sections. The installer
// never runs on the host, so nothing more is needed to sign and check it.
Bytes tiny_image(bool pe32_plus, std::uint32_t directories = 16) {
  Bytes image(1024, 0);
  image[0] = 'M';
  image[1] = 'Z';
  put32(image, 0x3C, PE_AT);
  std::memcpy(image.data() + PE_AT, "PE\0\0", 4);
  put16(image, PE_AT + 4, pe32_plus ? 0x8664 : 0x14C);
  put16(image, PE_AT + 20, pe32_plus ? 240 : 224);  // SizeOfOptionalHeader
  put16(image, PE_AT + 22, 0x0102);
  put16(image, OPTIONAL_AT, pe32_plus ? 0x20B : 0x10B);
  put32(image, OPTIONAL_AT + 60, 512);  // SizeOfHeaders
  put32(image, OPTIONAL_AT + (pe32_plus ? 108 : 92), directories);
  return image;
}

std::size_t security_entry(bool pe32_plus) { return OPTIONAL_AT + (pe32_plus ? 112 : 96) + 4 * 8; }

TEST(PeCertificateTable, ReadsTheSecurityEntryOfBothImageKinds) {
  for (bool plus : {false, true}) {
    Bytes image = tiny_image(plus);
    PeCertificateTable table{};
    std::string error;
    ASSERT_TRUE(pe_certificate_table_from(image.data(), image.size(), &table, &error)) << error;
    EXPECT_FALSE(table.present);
    put32(image, security_entry(plus), 0x12345678);
    put32(image, security_entry(plus) + 4, 0x9A0);
    ASSERT_TRUE(pe_certificate_table_from(image.data(), image.size(), &table, &error)) << error;
    EXPECT_TRUE(table.present);
    EXPECT_EQ(table.offset, 0x12345678u);
    EXPECT_EQ(table.size, 0x9A0u);
    // Four directories end before the security entry: whatever lies there is not a table.
    put32(image, OPTIONAL_AT + (plus ? 108 : 92), 4);
    ASSERT_TRUE(pe_certificate_table_from(image.data(), image.size(), &table, &error)) << error;
    EXPECT_FALSE(table.present);
  }
}

TEST(PeCertificateTable, RefusesFilesThatAreNoImageOrCutShort) {
  const Bytes image = tiny_image(false);
  PeCertificateTable table{};
  std::string error;
  // Every cut inside the headers up to the security entry is refused without a read
  // beyond the bytes given (the sanitizer tree would report one).
  for (std::size_t size = 0; size < security_entry(false); ++size) {
    const Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(pe_certificate_table_from(cut.data(), cut.size(), &table, &error)) << size;
  }
  Bytes wrong = image;
  wrong[PE_AT + 1] = 'X';
  EXPECT_FALSE(pe_certificate_table_from(wrong.data(), wrong.size(), &table, &error));
  wrong = image;
  put32(wrong, 0x3C, 0xFFFFFFF0u);  // e_lfanew far past the end
  EXPECT_FALSE(pe_certificate_table_from(wrong.data(), wrong.size(), &table, &error));
  wrong = image;
  put16(wrong, OPTIONAL_AT, 0x107);  // ROM image
  EXPECT_FALSE(pe_certificate_table_from(wrong.data(), wrong.size(), &table, &error));
}

class PackSigning : public ::testing::Test {
 protected:
  ScratchFolder scratch;
  std::string stub, cert, key, payload;

  void SetUp() override {
    ASSERT_FALSE(scratch.path.empty());
    stub = scratch / "stub.exe";
    ASSERT_TRUE(zip_test_write_file(stub, tiny_image(false)));
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
    PeCertificateTable table{};
    std::string error;
    EXPECT_TRUE(pe_certificate_table_from(file.data(), file.size(), &table, &error)) << error;
    return table;
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
  const std::size_t after_headers = 0x200;
  EXPECT_TRUE(std::equal(plain_file.begin() + after_headers, plain_file.end(), file.begin() + after_headers));

  const RunResult verified = pack({"verify", "--ca-file", cert, out});
  EXPECT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_NE(verified.out.find("signature verified"), std::string::npos) << verified.out;
  // Without the test certificate as the trusted root the chain leads nowhere.
  const RunResult untrusted = pack({"verify", out});
  EXPECT_EQ(untrusted.exit_code, 1);
  EXPECT_NE(untrusted.err.find("signature does not verify"), std::string::npos) << untrusted.err;

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

  // One byte of the payload: the first entry's data lies behind the 1024-byte stub.
  Bytes flipped = file;
  flipped[1024 + 30 + 11 + 100] ^= 0x01;
  RunResult result = verify_changed(flipped);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("signature does not verify"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("MISMATCH"), std::string::npos) << result.err;

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

  // An unsigned installer passes without --ca-file and fails with it.
  EXPECT_EQ(pack({"verify", plain}).exit_code, 0);
  result = pack({"verify", "--ca-file", cert, plain});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("is not signed"), std::string::npos) << result.err;
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
  EXPECT_NE(result.err.find("signing failed"), std::string::npos) << result.err;
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
  EXPECT_NE(result.err.find("is signed"), std::string::npos) << result.err;
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

}  // namespace
