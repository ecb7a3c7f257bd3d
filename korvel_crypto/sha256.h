// SHA-256 over bytes handed in piece by piece. Which code computes it is
// chosen when linking: Nettle in the native build (sha256_nettle.cpp), the
// JavaScript host in the WebAssembly build (js/native/sha256_host.cpp), where
// Nettle does not exist.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace korvel::crypto {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::span<const std::uint8_t> bytes);
  // The digest of everything given so far; update must not follow.
  std::array<std::uint8_t, 32> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvel::crypto
