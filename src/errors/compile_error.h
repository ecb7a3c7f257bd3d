// Compile errors: the first failure of compile that concerns the template,
// with the 1-based line and column it refers to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "errors/span.h"
#include "korvel_serializers/serializer.h"
#include "types/model.h"

namespace verdane::errors {

// The data an error carries beside its kind; each kind carries one of these,
// as listed beside it in CompileError::Kind.
namespace detail {
struct None {};
// The source text of one character.
struct Character {
  std::string text;
};
// What the message says in full (Syntax) or the date text between the
// parentheses, trimmed (InvalidDate).
struct Text {
  std::string text;
};
// A type's name as written (UnknownType) or a field's (UndeclaredField).
struct Name {
  std::string name;
};
enum class Schema : std::uint8_t { Intent, Evidence };
struct DuplicateName {
  std::string name;
  Schema schema;
};
// The type an operand was found to have.
struct Found {
  types::Type found;
};
// The element type of the set on the right of `in` and the type on its left.
struct Element {
  types::Type expected;
  types::Type found;
};
}  // namespace detail

using Detail =
    std::variant<detail::None, detail::Character, detail::Text, detail::Name, detail::DuplicateName,
                 detail::Found, detail::Element, korvel::serializers::SerializerError>;

class CompileError {
 public:
  // Closed set of variants, in their defined order, with the detail each
  // carries (none where nothing is said).
  enum class Kind : std::uint8_t {
    UnexpectedChar,          // Character
    IntegerOutOfRange,       //
    UnterminatedString,      //
    UnsupportedEscape,       // Character: the one after the backslash
    InvalidDate,             // Text: the trimmed date text
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
    Syntax,              // Text: the whole message
    UnsupportedSetType,  //
    UnknownType,         // Name: the type name
    DuplicateField,      // DuplicateName
    MixedSetLiteral,
    DuplicateSetElement,
    UntypedEmptySetChain,
    MixedAndOr,
    ChainDirectionReversed,
    MembershipInChain,
    UndeclaredField,  // Name: the field name
    ConstraintNotBool,
    ArithmeticNotInt,
    ChainTypeMismatch,
    OrderingNotAllowed,     // Found
    InElementTypeMismatch,  // Element
    InRightNotSet,          // Found
    OperandTypeMismatch,
    ExpectedBool,  // Found
    OptionalPrefixRequired,
    OptionalWithoutOptionalField,
    Bytecode,  // SerializerError: a codec failure; positioned at 0:0
  };
  static constexpr std::size_t kKindCount = 37;

  // The index in Detail of the detail that `kind` carries.
  static constexpr std::size_t detail_index(Kind kind) {
    switch (kind) {
      case Kind::UnexpectedChar:
      case Kind::UnsupportedEscape:
        return variant_index<detail::Character>();
      case Kind::InvalidDate:
      case Kind::Syntax:
        return variant_index<detail::Text>();
      case Kind::UnknownType:
      case Kind::UndeclaredField:
        return variant_index<detail::Name>();
      case Kind::DuplicateField:
        return variant_index<detail::DuplicateName>();
      case Kind::OrderingNotAllowed:
      case Kind::InRightNotSet:
      case Kind::ExpectedBool:
        return variant_index<detail::Found>();
      case Kind::InElementTypeMismatch:
        return variant_index<detail::Element>();
      case Kind::Bytecode:
        return variant_index<korvel::serializers::SerializerError>();
      default:
        return variant_index<detail::None>();
    }
  }

  // An error of `kind` positioned at byte `offset` of `src` (the position is
  // computed now; no reference to `src` is kept), carrying the detail its
  // kind carries. A Bytecode error is positioned at 0:0.
  static CompileError at(Kind kind, std::string_view src, std::size_t offset,
                         Detail detail = detail::None{});
  // A Syntax error with the given message.
  static CompileError syntax(std::string_view src, std::size_t offset, std::string message);
  // Wraps a codec failure; positioned at 0:0.
  static CompileError bytecode(korvel::serializers::SerializerError error);

  Kind kind() const { return kind_; }
  std::size_t line() const { return line_; }
  std::size_t col() const { return col_; }
  const Detail& detail() const { return detail_; }
  // The message without the position.
  std::string message() const;
  // "error at <line>:<col>: <message>", no trailing line feed.
  std::string to_string() const;

 private:
  template <typename T, std::size_t I = 0>
  static constexpr std::size_t variant_index() {
    if constexpr (std::is_same_v<std::variant_alternative_t<I, Detail>, T>) {
      return I;
    } else {
      return variant_index<T, I + 1>();
    }
  }

  Kind kind_ = Kind::Syntax;
  std::size_t line_ = 0;
  std::size_t col_ = 0;
  Detail detail_;
};

}  // namespace verdane::errors
