// Template identity: the SHA-256 digest of the canonical bytecode, written in
// base58 (Bitcoin alphabet, no checksum).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "korvel_serializers/serializer.h"
#include "support/result.h"
#include "types/model.h"

namespace korvel::crypto {

struct HashError {
  enum class Kind { InvalidBase58, WrongLength };
  Kind kind = Kind::WrongLength;
  std::string decoder_error;  // the base58 decoder's text, for InvalidBase58

  // "Cannot parse hash digest from base58: <decoder error>" or
  // "Wrong number of bytes for hash digest: could not convert slice to array".
  std::string to_string() const;
};

struct HashDigest {
  std::array<std::uint8_t, 32> bytes{};

  // The base58 text (32 to 44 characters).
  std::string to_string() const;
  // Parses base58 text holding exactly 32 bytes; no trimming. The first
  // invalid or non-ASCII byte anywhere in the text gives InvalidBase58 at its
  // offset; otherwise any other byte count gives WrongLength. Linear in the
  // length of `text`.
  static verdane::Result<HashDigest, HashError> parse(std::string_view text);

  friend bool operator==(const HashDigest&, const HashDigest&) = default;
};

struct TryHash256 {
  // SHA-256 over the canonical encoding of `value`; the encoder's error
  // unchanged if encoding fails.
  static verdane::Result<HashDigest, serializers::SerializerError> try_hash_sha256(
      const verdane::types::PolicyTemplate& value);
};

}  // namespace korvel::crypto
