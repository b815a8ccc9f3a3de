#pragma once
// What list, verify and build report for pipelines: one JSON object on stdout (fields
// described in tools/README.md), and the pieces the text reports share with it.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "archive/zip_reader.h"
#include "tools/entry_check.h"
#include "tools/signature_info.h"
#include "tools/stub_identity.h"

using PackJson = nlohmann::ordered_json;

// name (UTF-8; bytes that are not become U+FFFD, and name_bytes gives them all in hex),
// method, sizes, CRC-32, flags and the local header's file offset.
PackJson report_entry(const ZipEntryInfo& info, std::int64_t header_offset);
// kind, the version block's product name, and the problem (null when it is the stub).
PackJson report_stub(const StubInfo& stub, const std::string& problem);
// present, and for a signed file the signer, validity and where the table lies.
PackJson report_signature(const PeImage* image, const SignatureInfo* info, const std::string& problem);
// Where the walk ended, whether that is a clean end, and the archive comment.
PackJson report_walk_end(std::int64_t offset, const ArchiveEnd& end);

// Prints the object on stdout; names that are not UTF-8 are written with U+FFFD.
void report_print(const PackJson& report);

// How the archive was made, for its comment: "orvinta-pack 1.1.0, level 12".
std::string archive_comment(int level);

// SHA-256 of a file as 64 hex digits.
bool file_sha256(const std::string& path, std::string* hex, std::string* error);
