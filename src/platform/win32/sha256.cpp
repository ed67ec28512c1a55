#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "platform/platform.h"

namespace ql::platform {

struct Sha256::State {
  struct AlgorithmCloser {
    void operator()(void* algorithm) const { ::BCryptCloseAlgorithmProvider(algorithm, 0); }
  };
  struct HashDestroyer {
    void operator()(void* hash) const { ::BCryptDestroyHash(hash); }
  };
  std::unique_ptr<void, AlgorithmCloser> algorithm;
  std::unique_ptr<void, HashDestroyer> hash;
  bool ok = false;  // every call since the last reset succeeded
};

namespace {
bool succeeded(NTSTATUS status) { return status >= 0; }
}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (succeeded(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    state_->algorithm.reset(algorithm);
  }
  reset();
}

Sha256::~Sha256() = default;

void Sha256::reset() {
  state_->hash.reset();
  state_->ok = false;
  if (!state_->algorithm) return;
  // The system allocates the hash object itself when given no buffer.
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!succeeded(::BCryptCreateHash(state_->algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0))) return;
  state_->hash.reset(hash);
  state_->ok = true;
}

void Sha256::update(const void* data, std::size_t size) {
  // BCryptHashData takes at most 4 GiB - 1 at a time.
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (state_->ok && size != 0) {
    const ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    state_->ok = succeeded(::BCryptHashData(state_->hash.get(), const_cast<PUCHAR>(bytes), chunk, 0));
    bytes += chunk;
    size -= chunk;
  }
}

bool Sha256::finish(unsigned char (&digest)[kDigestSize]) {
  const bool ok = state_->ok && succeeded(::BCryptFinishHash(state_->hash.get(), digest, kDigestSize, 0));
  reset();
  return ok;
}

}  // namespace ql::platform
