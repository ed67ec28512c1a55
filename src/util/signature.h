// Signatures in minisign's format, checked with libsodium: a publisher signs
// a manifest with a key whose public half the installer trusts, so the
// manifest counts only as far as that key does, wherever it was fetched from.
//
// A signature file holds four lines: an untrusted comment, the signature
// (algorithm, key id, Ed25519 signature), a trusted comment, and the global
// signature over the signature and the trusted comment. The algorithm "Ed"
// signs the data itself, "ED" its BLAKE2b-512 hash. A public key is one line
// (algorithm "Ed", key id, Ed25519 key), usually after an untrusted comment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ql {

struct SignatureVerdict {
  bool verified = false;
  std::string keyId;       // the key that verified: its number in 16 hex digits, leading zeros kept
  std::u16string problem;  // why not: "malformed signature", "bad signature", the system's words, ...
};

// `signature` is a signature file's text and `publicKeys` one or more public
// keys, a line each; blank lines and "untrusted comment:" lines among them
// are skipped. Null `data` with a nonzero size fails.
SignatureVerdict verifySignature(std::string_view signature, std::string_view publicKeys, const void* data,
                                 std::size_t size);

// The same over a file's bytes. A hashed ("ED") signature is checked while
// the file is read in pieces, in constant memory whatever its size; a legacy
// ("Ed") one needs the data whole, so such a file is read whole and may hold
// at most kLegacyFileLimit bytes. The system's words tell why a file could
// not be read.
SignatureVerdict verifyFileSignature(std::string_view signature, std::string_view publicKeys,
                                     const std::u16string& path);

constexpr int64_t kLegacyFileLimit = 64 * 1024 * 1024;

}  // namespace ql
