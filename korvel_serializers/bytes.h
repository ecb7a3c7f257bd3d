// Canonical bytecode of a PolicyTemplate: the standard bincode 2 layout
// (variable-length little-endian integers, zigzag signed integers, no limit).
#pragma once

#include "korvel_serializers/serializer.h"
#include "types/model.h"

namespace korvel::serializers {

class BytesSerializer final : public Serializer<verdane::types::PolicyTemplate> {
 public:
  // The canonical bytes of `value`. Fails only with a Serialization error.
  verdane::Result<std::vector<std::uint8_t>, SerializerError> serialize(
      const verdane::types::PolicyTemplate& value) const override;

  // Decodes one template that must span all of `bytes`. Fails with a
  // Deserialization error; never returns a partial template. Rejects
  // expressions deeper than verdane::types::MAX_EXPR_DEPTH.
  verdane::Result<verdane::types::PolicyTemplate, SerializerError> deserialize(
      std::span<const std::uint8_t> bytes) const override;
};

}  // namespace korvel::serializers
