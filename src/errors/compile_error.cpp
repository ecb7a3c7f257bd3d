#include "errors/compile_error.h"

#include <cassert>
#include <utility>

namespace verdane::errors {

namespace {

// An empty detail of the alternative at `index`.
template <std::size_t... I>
Detail empty_detail(std::size_t index, std::index_sequence<I...>) {
  Detail out;
  ((I == index ? (out.emplace<I>(), 0) : 0), ...);
  return out;
}

}  // namespace

CompileError CompileError::at(Kind kind, std::string_view src, std::size_t offset, Detail detail) {
  assert(detail.index() == detail_index(kind));
  // Whatever a caller passed, the kind's own alternative is held, so that
  // message() reads it without a check.
  if (detail.index() != detail_index(kind)) {
    detail =
        empty_detail(detail_index(kind), std::make_index_sequence<std::variant_size_v<Detail>>{});
  }
  CompileError e;
  e.kind_ = kind;
  // A codec failure has no source position: it stays at 0:0 however built.
  if (kind != Kind::Bytecode) {
    const LineCol pos = Span{offset, offset}.line_col(src);
    e.line_ = pos.line;
    e.col_ = pos.col;
  }
  e.detail_ = std::move(detail);
  return e;
}

CompileError CompileError::syntax(std::string_view src, std::size_t offset, std::string message) {
  return at(Kind::Syntax, src, offset, detail::Text{std::move(message)});
}

CompileError CompileError::bytecode(korvel::serializers::SerializerError error) {
  return at(Kind::Bytecode, {}, 0, std::move(error));
}

std::string CompileError::message() const {
  // Each kind reads only the detail it carries (see detail_index).
  const auto text = [this] { return std::get<detail::Text>(detail_).text; };
  const auto character = [this] { return std::get<detail::Character>(detail_).text; };
  const auto name = [this] { return std::get<detail::Name>(detail_).name; };
  const auto found = [this] {
    return std::string(types::type_text(std::get<detail::Found>(detail_).found));
  };
  switch (kind_) {
    case Kind::UnexpectedChar:
      return "unexpected character '" + character() + "'";
    case Kind::IntegerOutOfRange:
      return "integer literal is outside the signed 64-bit range";
    case Kind::UnterminatedString:
      return "unterminated string literal";
    case Kind::UnsupportedEscape:
      return "unsupported escape sequence '\\" + character() + "'";
    case Kind::InvalidDate:
      return "the date " + text() + " is invalid";
    case Kind::MalformedDateLiteral:
      return "malformed date(...) literal";
    case Kind::ExpectedName:
      return "expected 'name'";
    case Kind::ExpectedNameIdent:
      return "expected an identifier after 'name'";
    case Kind::ExpectedEvidenceSchema:
      return "expected an evidence schema";
    case Kind::ExpectedEvidenceAfterIntent:
      return "expected an evidence schema after the intent schema";
    case Kind::ExpectedRequirements:
      return "expected the requirements after the evidence schema";
    case Kind::ExpectedEndOfFile:
      return "expected end of file";
    case Kind::EmptyEvidenceBlock:
      return "the evidence block must be non-empty";
    case Kind::EmptyRequiresBlock:
      return "the requires block must be non-empty";
    case Kind::ExpectedConstraintEnd:
      return "expected ';' or '}' after a constraint";
    case Kind::Syntax:
      return text();
    case Kind::UnsupportedSetType:
      return "unsupported set type";
    case Kind::UnknownType:
      return "unknown type '" + name() + "'";
    case Kind::DuplicateField: {
      const auto& duplicate = std::get<detail::DuplicateName>(detail_);
      const char* schema = duplicate.schema == detail::Schema::Intent ? "intent" : "evidence";
      return "duplicate " + std::string(schema) + " field '" + duplicate.name + "'";
    }
    case Kind::MixedSetLiteral:
      return "set literals must be homogeneous";
    case Kind::DuplicateSetElement:
      return "duplicate element in set literal";
    case Kind::UntypedEmptySetChain:
      return "cannot infer the type of a comparison chain made only of empty set literals";
    case Kind::MixedAndOr:
      return "mixed unparenthesized 'and' and 'or' are not allowed";
    case Kind::ChainDirectionReversed:
      return "chained comparisons cannot reverse direction";
    case Kind::MembershipInChain:
      return "'in' / 'not in' cannot be part of a chained comparison";
    case Kind::UndeclaredField:
      return "the field '" + name() + "' has not been declared in the schema";
    case Kind::ConstraintNotBool:
      return "constraints must evaluate to bool";
    case Kind::ArithmeticNotInt:
      return "arithmetic operands must be int";
    case Kind::ChainTypeMismatch:
      return "comparison operands must all have the same type";
    case Kind::OrderingNotAllowed:
      return "ordering comparisons are not allowed for " + found();
    case Kind::InElementTypeMismatch: {
      const auto& element = std::get<detail::Element>(detail_);
      return "the left operand of 'in' must have type " +
             std::string(types::type_text(element.expected)) +
             " to match the set on the right, found " +
             std::string(types::type_text(element.found));
    }
    case Kind::InRightNotSet:
      return "the right operand of 'in' must be a set, found " + found();
    case Kind::OperandTypeMismatch:
      return "operands must have the same type";
    case Kind::ExpectedBool:
      return "expected an expression of type bool, found " + found();
    case Kind::OptionalPrefixRequired:
      return "constraints that reference optional fields must use the 'optional:' prefix";
    case Kind::OptionalWithoutOptionalField:
      return "an 'optional:' constraint must reference at least one optional intent field";
    case Kind::Bytecode:
      return "bytecode: " + std::get<korvel::serializers::SerializerError>(detail_).to_string();
  }
  return {};
}

std::string CompileError::to_string() const {
  return "error at " + std::to_string(line_) + ":" + std::to_string(col_) + ": " + message();
}

}  // namespace verdane::errors
