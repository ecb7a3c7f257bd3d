// SHA-256 in the WebAssembly build: the bytes are gathered here and digested
// once by the JavaScript host (library.js), which uses @noble/hashes.
#include <vector>

#include "korvel_crypto/sha256.h"

extern "C" void verdane_host_sha256(const std::uint8_t* data, std::size_t size,
                                    std::uint8_t* digest);

namespace korvel::crypto {

struct Sha256::State {
  std::vector<std::uint8_t> bytes;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  state_->bytes.insert(state_->bytes.end(), bytes.begin(), bytes.end());
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::array<std::uint8_t, 32> digest{};
  verdane_host_sha256(state_->bytes.data(), state_->bytes.size(), digest.data());
  return digest;
}

}  // namespace korvel::crypto
