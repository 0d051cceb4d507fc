#include <openssl/evp.h>

#include "platform/sha256.h"

namespace velk {

struct Sha256::Impl {
  struct CtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
  };
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx;
  bool failed = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->ctx.reset(EVP_MD_CTX_new());
  impl_->failed = !impl_->ctx || EVP_DigestInit_ex(impl_->ctx.get(), EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
  if (!impl_ || impl_->failed || bytes.empty()) return;
  if (EVP_DigestUpdate(impl_->ctx.get(), bytes.data(), bytes.size()) != 1) impl_->failed = true;
}

std::optional<Sha256::Digest> Sha256::finish() {
  if (!impl_ || impl_->failed) return std::nullopt;
  Digest digest{};
  unsigned int length = 0;
  bool ok = EVP_DigestFinal_ex(impl_->ctx.get(), digest.data(), &length) == 1 &&
            length == digest.size();
  impl_->failed = true;  // spent
  if (!ok) return std::nullopt;
  return digest;
}

}  // namespace velk
