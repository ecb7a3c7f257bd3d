// The serialization interface of the korvel libraries and its error type.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/result.h"

namespace korvel::serializers {

struct SerializerError {
  enum class Kind { Serialization, Deserialization };

  Kind kind = Kind::Deserialization;
  std::string lib = "bincode";  // name of the encoding format's library
  std::string source;           // the encoder's or decoder's error, debug form

  // "Serialization failed, using lib <lib>: <source>" or
  // "Deserialization failed, using lib <lib>: <source>".
  std::string to_string() const;
};

// Turns values of T into bytes and back.
template <typename T>
class Serializer {
 public:
  virtual ~Serializer() = default;
  virtual verdane::Result<std::vector<std::uint8_t>, SerializerError> serialize(
      const T& value) const = 0;
  virtual verdane::Result<T, SerializerError> deserialize(
      std::span<const std::uint8_t> bytes) const = 0;
};

}  // namespace korvel::serializers
