// Bearer tokens: who may read (--token-file) and who may change the store
// (--admin-token-file). Tokens are kept as SHA-256 digests and compared in
// constant time, against every token, so timing tells nothing of them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace verdane::serve {

enum class Access { Denied, Reader, Admin };

class Auth {
 public:
  // Reads the token files (one token a line; blank lines skipped).
  static Result<Auth, std::string> load(const std::optional<std::string>& token_file,
                                        const std::optional<std::string>& admin_file);

  bool any_tokens() const { return readers_required_ || admins_required_; }
  bool readers_required() const { return readers_required_; }
  bool admins_required() const { return admins_required_; }

  // What the Authorization header value (empty when absent) allows.
  Access check(std::string_view authorization) const;

 private:
  using Digest = std::array<std::uint8_t, 32>;
  static bool holds(const std::vector<Digest>& set, const Digest& d);
  std::vector<Digest> readers_;
  std::vector<Digest> admins_;
  bool readers_required_ = false;
  bool admins_required_ = false;
};

}  // namespace verdane::serve
