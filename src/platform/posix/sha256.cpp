#include <openssl/evp.h>

#include "platform/platform.h"

namespace ql::platform {

struct Sha256::State {
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* md) const { EVP_MD_CTX_free(md); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context{EVP_MD_CTX_new()};
  bool ok = false;  // every call since the last reset succeeded
};

Sha256::Sha256() : state_(std::make_unique<State>()) { reset(); }

Sha256::~Sha256() = default;

void Sha256::reset() {
  state_->ok = state_->context && EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::update(const void* data, std::size_t size) {
  if (state_->ok && size != 0) state_->ok = EVP_DigestUpdate(state_->context.get(), data, size) == 1;
}

bool Sha256::finish(unsigned char (&digest)[kDigestSize]) {
  unsigned int length = 0;
  const bool ok =
      state_->ok && EVP_DigestFinal_ex(state_->context.get(), digest, &length) == 1 && length == kDigestSize;
  reset();
  return ok;
}

}  // namespace ql::platform
