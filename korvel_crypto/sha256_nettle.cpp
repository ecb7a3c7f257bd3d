#include <nettle/sha2.h>

#include "korvel_crypto/sha256.h"

namespace korvel::crypto {

struct Sha256::State {
  sha256_ctx ctx;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { sha256_init(&state_->ctx); }

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  sha256_update(&state_->ctx, bytes.size(), bytes.data());
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  sha256_digest(&state_->ctx, digest.size(), digest.data());
  return digest;
}

}  // namespace korvel::crypto
