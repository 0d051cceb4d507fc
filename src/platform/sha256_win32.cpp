#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <climits>

#include "platform/sha256.h"

namespace velk {
namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

struct AlgorithmClose {
  void operator()(void* h) const { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashDestroy {
  void operator()(void* h) const { ::BCryptDestroyHash(h); }
};
using UniqueAlgorithm = std::unique_ptr<void, AlgorithmClose>;
using UniqueHash = std::unique_ptr<void, HashDestroy>;

}  // namespace

struct Sha256::Impl {
  UniqueAlgorithm algorithm;  // outlives the hash: declared first, destroyed last
  UniqueHash hash;
  bool failed = false;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!succeeded(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    impl_->failed = true;
    return;
  }
  impl_->algorithm.reset(algorithm);
  // No object buffer: the system allocates the hash state itself.
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!succeeded(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    impl_->failed = true;
    return;
  }
  impl_->hash.reset(hash);
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
  if (!impl_ || impl_->failed) return;
  // BCryptHashData takes a 32-bit length.
  while (!bytes.empty()) {
    ULONG n = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), ULONG_MAX));
    auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    if (!succeeded(::BCryptHashData(impl_->hash.get(), data, n, 0))) {
      impl_->failed = true;
      return;
    }
    bytes.remove_prefix(n);
  }
}

std::optional<Sha256::Digest> Sha256::finish() {
  if (!impl_ || impl_->failed) return std::nullopt;
  Digest digest{};
  bool ok = succeeded(::BCryptFinishHash(impl_->hash.get(), digest.data(),
                                         static_cast<ULONG>(digest.size()), 0));
  impl_->failed = true;  // spent
  if (!ok) return std::nullopt;
  return digest;
}

}  // namespace velk
