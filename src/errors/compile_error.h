// Compile errors: the first failure of compile that concerns the template,
// with the 1-based line and column it refers to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "korvel_serializers/serializer.h"

namespace verdane::errors {

class CompileError {
 public:
  // Closed set of variants, in their defined order.
  enum class Kind : std::uint8_t {
    UnexpectedChar,
    IntegerOutOfRange,
    UnterminatedString,
    UnsupportedEscape,
    InvalidDate,
    MalformedDateLiteral,
    ExpectedName,
    ExpectedNameIdent,
    ExpectedEvidenceSchema,
    ExpectedEvidenceAfterIntent,
    ExpectedRequirements,
    ExpectedEndOfFile,
    EmptyEvidenceBlock,
    EmptyRequiresBlock,
    ExpectedConstraintEnd,
    Syntax,
    UnsupportedSetType,
    UnknownType,
    DuplicateField,
    MixedSetLiteral,
    DuplicateSetElement,
    UntypedEmptySetChain,
    MixedAndOr,
    ChainDirectionReversed,
    MembershipInChain,
    UndeclaredField,
    ConstraintNotBool,
    ArithmeticNotInt,
    ChainTypeMismatch,
    OrderingNotAllowed,
    InElementTypeMismatch,
    InRightNotSet,
    OperandTypeMismatch,
    ExpectedBool,
    OptionalPrefixRequired,
    OptionalWithoutOptionalField,
    Bytecode,
  };

  // Wraps a codec failure; positioned at 0:0.
  static CompileError bytecode(korvel::serializers::SerializerError error);

  Kind kind() const { return kind_; }
  std::uint32_t line() const { return line_; }
  std::uint32_t col() const { return col_; }
  // The message without the position.
  std::string message() const;
  // "error at <line>:<col>: <message>", no trailing line feed.
  std::string to_string() const;

 private:
  Kind kind_ = Kind::Syntax;
  std::uint32_t line_ = 0;
  std::uint32_t col_ = 0;
  std::string text_;  // message, name, character or type text, by variant
  std::optional<korvel::serializers::SerializerError> bytecode_;
};

}  // namespace verdane::errors
