// Placeholder until the codec lands: every call fails, nothing pretends to work.
#include "korvel_serializers/bytes.h"

namespace korvel::serializers {

std::string SerializerError::to_string() const {
  return std::string(kind == Kind::Serialization ? "Serialization" : "Deserialization") +
         " failed, using lib " + lib + ": " + source;
}

verdane::Result<std::vector<std::uint8_t>, SerializerError> BytesSerializer::serialize(
    const verdane::types::PolicyTemplate&) const {
  return verdane::make_err(SerializerError{SerializerError::Kind::Serialization, "bincode",
                                           "Other(\"encoder not built yet\")"});
}

verdane::Result<verdane::types::PolicyTemplate, SerializerError> BytesSerializer::deserialize(
    std::span<const std::uint8_t>) const {
  return verdane::make_err(SerializerError{SerializerError::Kind::Deserialization, "bincode",
                                           "Other(\"decoder not built yet\")"});
}

}  // namespace korvel::serializers
