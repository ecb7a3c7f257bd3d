// Placeholder until the identity lands: every call fails.
#include "korvel_crypto/hash.h"

#include "korvel_serializers/bytes.h"

namespace korvel::crypto {

std::string HashError::to_string() const {
  if (kind == Kind::InvalidBase58) return "Cannot parse hash digest from base58: " + decoder_error;
  return "Wrong number of bytes for hash digest: could not convert slice to array";
}

std::string HashDigest::to_string() const { return "<hash not built yet>"; }

verdane::Result<HashDigest, HashError> HashDigest::parse(std::string_view) {
  return verdane::make_err(HashError{HashError::Kind::InvalidBase58, "base58 not built yet"});
}

verdane::Result<HashDigest, serializers::SerializerError> TryHash256::try_hash_sha256(
    const verdane::types::PolicyTemplate& value) {
  auto bytes = serializers::BytesSerializer{}.serialize(value);
  if (!bytes) return verdane::make_err(std::move(bytes).error());
  return verdane::make_err(
      serializers::SerializerError{serializers::SerializerError::Kind::Serialization, "bincode",
                                   "Other(\"hash not built yet\")"});
}

}  // namespace korvel::crypto
