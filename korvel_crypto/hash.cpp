#include "korvel_crypto/hash.h"

#include <algorithm>

#include "korvel_crypto/base58.h"
#include "korvel_crypto/sha256.h"
#include "korvel_serializers/bytes.h"

namespace korvel::crypto {

namespace {

// The longest base58 text of 32 bytes (2^256 - 1 needs 44 digits); any
// longer text stands for more than 32 bytes.
constexpr std::size_t kMaxIdLength = 44;

}  // namespace

std::string HashError::to_string() const {
  if (kind == Kind::InvalidBase58) return "Cannot parse hash digest from base58: " + decoder_error;
  return "Wrong number of bytes for hash digest: could not convert slice to array";
}

std::string HashDigest::to_string() const { return base58::encode(bytes); }

verdane::Result<HashDigest, HashError> HashDigest::parse(std::string_view text) {
  // Every byte is checked first so an invalid character is reported wherever
  // it is; only then are over-long texts turned away, before the quadratic
  // decode.
  if (auto bad = base58::validate(text)) {
    return verdane::make_err(HashError{HashError::Kind::InvalidBase58, bad->to_string()});
  }
  if (text.size() > kMaxIdLength)
    return verdane::make_err(HashError{HashError::Kind::WrongLength, ""});
  auto decoded = base58::decode(text);
  if (!decoded) {
    return verdane::make_err(
        HashError{HashError::Kind::InvalidBase58, decoded.error().to_string()});
  }
  HashDigest digest;
  if (decoded->size() != digest.bytes.size()) {
    return verdane::make_err(HashError{HashError::Kind::WrongLength, ""});
  }
  std::copy(decoded->begin(), decoded->end(), digest.bytes.begin());
  return digest;
}

namespace {

class Sha256Sink final : public serializers::ByteSink {
 public:
  void write(std::span<const std::uint8_t> bytes) override { sha256_.update(bytes); }
  void digest(HashDigest& out) { out.bytes = sha256_.finish(); }

 private:
  Sha256 sha256_;
};

}  // namespace

verdane::Result<HashDigest, serializers::SerializerError> TryHash256::try_hash_sha256(
    const verdane::types::PolicyTemplate& value) {
  // The encoding is hashed as it is produced: a large template's bytecode
  // never has to exist a second time in memory.
  Sha256Sink sink;
  auto encoded = serializers::BytesSerializer{}.serialize_into(value, sink);
  if (!encoded) return verdane::make_err(std::move(encoded).error());
  HashDigest digest;
  sink.digest(digest);
  return digest;
}

}  // namespace korvel::crypto
