#include "util/signature.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "text/text.h"

namespace ql {
namespace {

constexpr std::size_t kAlgorithmBytes = 2;
constexpr std::size_t kKeyIdBytes = 8;
constexpr std::size_t kHashBytes = crypto_generichash_BYTES_MAX;  // BLAKE2b-512
// Large enough that a read costs little next to hashing it, small enough to
// stay in the cache the hash runs from.
constexpr uint32_t kPieceBytes = 256 * 1024;

using KeyId = std::array<unsigned char, kKeyIdBytes>;

struct Signature {
  bool hashed = false;
  KeyId keyId{};
  std::array<unsigned char, crypto_sign_BYTES> data{};
  std::string_view trustedComment;
  std::array<unsigned char, crypto_sign_BYTES> global{};
};

struct PublicKey {
  KeyId keyId{};
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> key{};
};

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

SignatureVerdict failure(std::u16string problem) { return {false, {}, std::move(problem)}; }

SignatureVerdict systemFailure(uint32_t code) {
  std::u16string text;
  if (!platform::systemMessage(code, 0x400, text)) text.clear();
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ')) text.pop_back();
  if (text.empty()) text = u"system error " + toDecimalText(code);
  return failure(text);
}

// A key id is the little-endian number its 8 bytes hold, as minisign prints
// it, but always in 16 digits: minisign drops leading zeros.
std::string hexOf(const KeyId& id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
    hex += kDigits[*byte >> 4];
    hex += kDigits[*byte & 0xF];
  }
  return hex;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The next line of `text` from `position` on, without its "\n" or "\r\n";
// empty past the end, where `position` exceeds the text's size.
std::string_view nextLine(std::string_view text, std::size_t& position) {
  if (position > text.size()) return {};
  const std::size_t end = std::min(text.find('\n', position), text.size());
  std::string_view line = text.substr(position, end - position);
  position = end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Exactly `bytes.size()` bytes in padded standard base64, nothing around them.
template <std::size_t N>
bool decodeBase64(std::string_view text, std::array<unsigned char, N>& bytes) {
  std::size_t length = 0;
  return sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, nullptr,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         length == bytes.size();
}

bool parseSignature(std::string_view text, Signature& out) {
  std::size_t position = 0;
  if (!startsWith(nextLine(text, position), kUntrustedPrefix)) return false;
  std::array<unsigned char, kAlgorithmBytes + kKeyIdBytes + crypto_sign_BYTES> signature{};
  if (!decodeBase64(nextLine(text, position), signature)) return false;
  if (signature[0] != 'E' || (signature[1] != 'd' && signature[1] != 'D')) return false;
  out.hashed = signature[1] == 'D';
  std::copy_n(signature.begin() + kAlgorithmBytes, kKeyIdBytes, out.keyId.begin());
  std::copy_n(signature.begin() + kAlgorithmBytes + kKeyIdBytes, crypto_sign_BYTES, out.data.begin());
  const std::string_view comment = nextLine(text, position);
  if (!startsWith(comment, kTrustedPrefix)) return false;
  out.trustedComment = comment.substr(kTrustedPrefix.size());
  if (!decodeBase64(nextLine(text, position), out.global)) return false;
  // Only line breaks may follow.
  while (position <= text.size()) {
    if (!nextLine(text, position).empty()) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool parsePublicKeys(std::string_view text, std::vector<PublicKey>& keys) {
  for (std::size_t position = 0; position <= text.size();) {
    const std::string_view line = trimmed(nextLine(text, position));
    if (line.empty() || startsWith(line, kUntrustedPrefix)) continue;
    std::array<unsigned char, kAlgorithmBytes + kKeyIdBytes + crypto_sign_PUBLICKEYBYTES> key{};
    if (!decodeBase64(line, key) || key[0] != 'E' || key[1] != 'd') return false;
    PublicKey& parsed = keys.emplace_back();
    std::copy_n(key.begin() + kAlgorithmBytes, kKeyIdBytes, parsed.keyId.begin());
    std::copy_n(key.begin() + kAlgorithmBytes + kKeyIdBytes, parsed.key.size(), parsed.key.begin());
  }
  return !keys.empty();
}

// The parsed texts and the keys among them whose id the signature names.
struct Check {
  Signature signature;
  std::vector<PublicKey> candidates;
};

// Fills `check`; false with the verdict that ends the check when the texts
// are malformed or no key has the signature's id.
bool prepare(std::string_view signatureText, std::string_view publicKeys, Check& check, SignatureVerdict& verdict) {
  // Picks libsodium's fastest code for this processor, once; its functions
  // are thread-safe from then on.
  static const bool ready = sodium_init() >= 0;
  if (!ready) {
    verdict = failure(u"the crypto library could not start");
    return false;
  }
  if (!parseSignature(signatureText, check.signature)) {
    verdict = failure(u"malformed signature");
    return false;
  }
  std::vector<PublicKey> keys;
  if (!parsePublicKeys(publicKeys, keys)) {
    verdict = failure(u"malformed key");
    return false;
  }
  for (const PublicKey& key : keys) {
    if (key.keyId == check.signature.keyId) check.candidates.push_back(key);
  }
  if (check.candidates.empty()) {
    verdict = failure(u"no key with id " + asciiToWide(hexOf(check.signature.keyId).c_str()));
    return false;
  }
  return true;
}

// `message` is what the algorithm signs: the data, or its hash.
SignatureVerdict conclude(const Check& check, const unsigned char* message, std::size_t size) {
  // libsodium reads nothing of an empty message, but wants somewhere to point.
  static const unsigned char kNothing = 0;
  if (size == 0) message = &kNothing;
  const Signature& signature = check.signature;
  for (const PublicKey& key : check.candidates) {
    if (crypto_sign_verify_detached(signature.data.data(), message, size, key.key.data()) != 0) continue;
    // The trusted comment counts only with the signature it was signed with.
    std::vector<unsigned char> signedComment(signature.data.begin(), signature.data.end());
    signedComment.insert(signedComment.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.global.data(), signedComment.data(), signedComment.size(),
                                    key.key.data()) != 0) {
      return failure(u"bad trusted comment signature");
    }
    return {true, hexOf(key.keyId), {}};
  }
  return failure(u"bad signature");
}

class Blake2b {
 public:
  Blake2b() { crypto_generichash_init(&state_, nullptr, 0, kHashBytes); }
  void update(const unsigned char* data, std::size_t size) {
    if (size != 0) crypto_generichash_update(&state_, data, size);
  }
  std::array<unsigned char, kHashBytes> finish() {
    std::array<unsigned char, kHashBytes> hash{};
    crypto_generichash_final(&state_, hash.data(), hash.size());
    return hash;
  }

 private:
  crypto_generichash_state state_;
};

}  // namespace

SignatureVerdict verifySignature(std::string_view signature, std::string_view publicKeys, const void* data,
                                 std::size_t size) {
  Check check;
  SignatureVerdict verdict;
  if (!prepare(signature, publicKeys, check, verdict)) return verdict;
  if (data == nullptr && size != 0) return systemFailure(platform::kErrorInvalidParameter);
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (!check.signature.hashed) return conclude(check, bytes, size);
  Blake2b hash;
  hash.update(bytes, size);
  const auto digest = hash.finish();
  return conclude(check, digest.data(), digest.size());
}

SignatureVerdict verifyFileSignature(std::string_view signature, std::string_view publicKeys,
                                     const std::u16string& path) {
  Check check;
  SignatureVerdict verdict;
  if (!prepare(signature, publicKeys, check, verdict)) return verdict;
  platform::File file;
  if (!file.openForReading(path)) return systemFailure(platform::lastError());
  std::vector<unsigned char> bytes;
  try {
    // A legacy signature is over the bytes themselves: they are read whole.
    int64_t size = kPieceBytes;
    if (!check.signature.hashed && !file.size(size)) return systemFailure(platform::lastError());
    if (size > kLegacyFileLimit) return systemFailure(platform::kErrorFileTooLarge);
    bytes.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return systemFailure(platform::kErrorNotEnoughMemory);
  }

  Blake2b hash;
  std::size_t filled = 0;  // of `bytes`, for a legacy signature
  for (int64_t offset = 0;;) {
    const std::size_t start = check.signature.hashed ? 0 : filled;
    const auto want = static_cast<uint32_t>(std::min<std::size_t>(bytes.size() - start, kPieceBytes));
    uint32_t read = 0;
    if (want != 0 && !file.readAt(offset, bytes.data() + start, want, read)) {
      return systemFailure(platform::lastError());
    }
    if (read == 0) break;
    offset += read;
    if (check.signature.hashed) {
      hash.update(bytes.data(), read);
    } else {
      filled += read;
    }
  }
  if (!check.signature.hashed) return conclude(check, bytes.data(), filled);
  const auto digest = hash.finish();
  return conclude(check, digest.data(), digest.size());
}

}  // namespace ql
