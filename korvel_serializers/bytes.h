// Canonical bytecode of a PolicyTemplate: the standard bincode 2 layout
// (variable-length little-endian integers, zigzag signed integers, no limit).
#pragma once

#include <cstdint>
#include <span>

#include "korvel_serializers/serializer.h"
#include "types/model.h"

namespace korvel::serializers {

// Receives an encoding piece by piece, in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void write(std::span<const std::uint8_t> bytes) = 0;
};

class BytesSerializer final : public Serializer<verdane::types::PolicyTemplate> {
 public:
  // The canonical bytes of `value`: maps and sets in ascending order, every
  // integer in its shortest form, so equal templates give equal bytes. The
  // output is allocated once at its final size. Fails only with a
  // Serialization error, for a tree the decoder could not read back: deeper
  // than verdane::types::MAX_EXPR_DEPTH (the same source text as in
  // deserialize) or with a missing operand
  // (`OtherString("expression node is missing an operand")`).
  verdane::Result<std::vector<std::uint8_t>, SerializerError> serialize(
      const verdane::types::PolicyTemplate& value) const override;

  // Hands the same bytes as serialize to `sink`, in pieces of at most a few
  // kilobytes (longer texts in one piece), without ever holding the whole
  // encoding. Fails exactly when serialize fails, with the same error; the
  // sink may have received a part of the bytes by then.
  verdane::Status<SerializerError> serialize_into(const verdane::types::PolicyTemplate& value,
                                                  ByteSink& sink) const;

  // Fails exactly when serialize fails, with the same error, without
  // producing any bytes: a walk over the tree and nothing more.
  verdane::Status<SerializerError> check_encodable(
      const verdane::types::PolicyTemplate& value) const;

  // Decodes one template that must span all of `bytes`. Fails with a
  // Deserialization error and never returns a partial template. Longer
  // integer forms, unsorted or repeated set elements and map keys are
  // accepted (repeated set elements collapse, the last repeated key wins).
  // Error sources, in the decoder's debug form:
  //   UnexpectedEnd { additional: <bytes still missing> }
  //   Other("input too long")                       bytes left after the template
  //   InvalidBooleanValue(<byte>)
  //   InvalidIntegerType { expected: <U32|U64>, found: <U64|U128|Reserved> }
  //       expected is U32 for variant indices and date years, U64 for
  //       lengths, counts and Int literals
  //   Utf8 { inner: Utf8Error { valid_up_to: <n>, error_len: Some(<m>)|None } }
  //   OtherString("invalid value: integer `<i>`, expected variant index 0 <= i < <17|7>")
  //   OtherString("expression nesting exceeds the maximum depth of 4096")
  //       for an Expr deeper than verdane::types::MAX_EXPR_DEPTH
  // A length or count larger than the rest of the input never makes the
  // decoder set aside storage of that size.
  verdane::Result<verdane::types::PolicyTemplate, SerializerError> deserialize(
      std::span<const std::uint8_t> bytes) const override;
};

}  // namespace korvel::serializers
