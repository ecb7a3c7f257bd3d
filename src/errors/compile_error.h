// Compile errors: the first failure of compile that concerns the template,
// with the 1-based line and column it refers to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "errors/span.h"
#include "korvel_serializers/serializer.h"

namespace verdane::errors {

class CompileError {
 public:
  // Closed set of variants, in their defined order.
  enum class Kind : std::uint8_t {
    UnexpectedChar,          // text: the character
    IntegerOutOfRange,       //
    UnterminatedString,      //
    UnsupportedEscape,       // text: the character after the backslash
    InvalidDate,             // text: the trimmed date text
    MalformedDateLiteral,    //
    ExpectedName,            //
    ExpectedNameIdent,       //
    ExpectedEvidenceSchema,  //
    ExpectedEvidenceAfterIntent,
    ExpectedRequirements,
    ExpectedEndOfFile,
    EmptyEvidenceBlock,
    EmptyRequiresBlock,
    ExpectedConstraintEnd,
    Syntax,              // text: the whole message
    UnsupportedSetType,  //
    UnknownType,         // text: the type name
    DuplicateField,      // text: field name; text2: "intent" or "evidence"
    MixedSetLiteral,
    DuplicateSetElement,
    UntypedEmptySetChain,
    MixedAndOr,
    ChainDirectionReversed,
    MembershipInChain,
    UndeclaredField,  // text: field name
    ConstraintNotBool,
    ArithmeticNotInt,
    ChainTypeMismatch,
    OrderingNotAllowed,     // text: type text
    InElementTypeMismatch,  // text: expected type text; text2: found type text
    InRightNotSet,          // text: found type text
    OperandTypeMismatch,
    ExpectedBool,  // text: found type text
    OptionalPrefixRequired,
    OptionalWithoutOptionalField,
    Bytecode,  // wraps a codec failure; positioned at 0:0
  };
  static constexpr std::size_t kKindCount = 37;

  // An error of `kind` positioned at byte `offset` of `src` (the position is
  // computed now; no reference to `src` is kept). `text` and `text2` carry
  // the variant's data as listed beside each kind. For Bytecode (normally
  // built with bytecode()) the position is 0:0 and `text` is shown as the
  // codec error.
  static CompileError at(Kind kind, std::string_view src, std::size_t offset, std::string text = {},
                         std::string text2 = {});
  // A Syntax error with the given message.
  static CompileError syntax(std::string_view src, std::size_t offset, std::string message);
  // Wraps a codec failure; positioned at 0:0.
  static CompileError bytecode(korvel::serializers::SerializerError error);

  Kind kind() const { return kind_; }
  std::size_t line() const { return line_; }
  std::size_t col() const { return col_; }
  const std::string& text() const { return text_; }
  const std::string& text2() const { return text2_; }
  // The message without the position.
  std::string message() const;
  // "error at <line>:<col>: <message>", no trailing line feed.
  std::string to_string() const;

 private:
  Kind kind_ = Kind::Syntax;
  std::size_t line_ = 0;
  std::size_t col_ = 0;
  std::string text_;
  std::string text2_;
  std::optional<korvel::serializers::SerializerError> bytecode_;
};

}  // namespace verdane::errors
