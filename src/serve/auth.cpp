#include "serve/auth.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <fstream>
#include <sstream>

namespace verdane::serve {

namespace {

std::array<std::uint8_t, 32> digest_of(std::string_view text) {
  std::array<std::uint8_t, 32> d{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), d.data());
  return d;
}

Result<std::vector<std::array<std::uint8_t, 32>>, std::string> read_tokens(
    const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return make_err("cannot read the token file `" + path + "`");
  std::vector<std::array<std::uint8_t, 32>> tokens;
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    if (!line.empty()) tokens.push_back(digest_of(line));
  }
  if (tokens.empty()) return make_err("the token file `" + path + "` holds no token");
  return tokens;
}

}  // namespace

Result<Auth, std::string> Auth::load(const std::optional<std::string>& token_file,
                                     const std::optional<std::string>& admin_file) {
  Auth auth;
  if (token_file) {
    auto tokens = read_tokens(*token_file);
    if (!tokens) return make_err(std::move(tokens).error());
    auth.readers_ = std::move(tokens).value();
    auth.readers_required_ = true;
  }
  if (admin_file) {
    auto tokens = read_tokens(*admin_file);
    if (!tokens) return make_err(std::move(tokens).error());
    auth.admins_ = std::move(tokens).value();
    auth.admins_required_ = true;
  }
  return auth;
}

bool Auth::holds(const std::vector<Digest>& set, const Digest& d) {
  bool found = false;
  for (const Digest& t : set) found |= CRYPTO_memcmp(t.data(), d.data(), d.size()) == 0;
  return found;
}

Access Auth::check(std::string_view authorization) const {
  constexpr std::string_view kBearer = "Bearer ";
  std::optional<Digest> presented;
  if (authorization.size() > kBearer.size() && authorization.substr(0, kBearer.size()) == kBearer) {
    presented = digest_of(authorization.substr(kBearer.size()));
  }
  const bool admin = presented && holds(admins_, *presented);
  const bool reader = presented && holds(readers_, *presented);
  // Without an admin file every reader may write; without a token file
  // reading is open (on loopback only, see the listener).
  if (admin || (!admins_required_ && (reader || !readers_required_))) return Access::Admin;
  if (reader || !readers_required_) return Access::Reader;
  return Access::Denied;
}

}  // namespace verdane::serve
