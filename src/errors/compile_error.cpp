#include "errors/compile_error.h"

namespace verdane::errors {

CompileError CompileError::at(Kind kind, std::string_view src, std::size_t offset, std::string text,
                              std::string text2) {
  CompileError e;
  e.kind_ = kind;
  // A codec failure has no source position: it stays at 0:0 however built.
  if (kind != Kind::Bytecode) {
    const LineCol pos = Span{offset, offset}.line_col(src);
    e.line_ = pos.line;
    e.col_ = pos.col;
  }
  e.text_ = std::move(text);
  e.text2_ = std::move(text2);
  return e;
}

CompileError CompileError::syntax(std::string_view src, std::size_t offset, std::string message) {
  return at(Kind::Syntax, src, offset, std::move(message));
}

CompileError CompileError::bytecode(korvel::serializers::SerializerError error) {
  CompileError e;
  e.kind_ = Kind::Bytecode;
  e.bytecode_ = std::move(error);
  return e;
}

std::string CompileError::message() const {
  switch (kind_) {
    case Kind::UnexpectedChar:
      return "unexpected character '" + text_ + "'";
    case Kind::IntegerOutOfRange:
      return "integer literal is outside the signed 64-bit range";
    case Kind::UnterminatedString:
      return "unterminated string literal";
    case Kind::UnsupportedEscape:
      return "unsupported escape sequence '\\" + text_ + "'";
    case Kind::InvalidDate:
      return "the date " + text_ + " is invalid";
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
      return text_;
    case Kind::UnsupportedSetType:
      return "unsupported set type";
    case Kind::UnknownType:
      return "unknown type '" + text_ + "'";
    case Kind::DuplicateField:
      return "duplicate " + text2_ + " field '" + text_ + "'";
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
      return "the field '" + text_ + "' has not been declared in the schema";
    case Kind::ConstraintNotBool:
      return "constraints must evaluate to bool";
    case Kind::ArithmeticNotInt:
      return "arithmetic operands must be int";
    case Kind::ChainTypeMismatch:
      return "comparison operands must all have the same type";
    case Kind::OrderingNotAllowed:
      return "ordering comparisons are not allowed for " + text_;
    case Kind::InElementTypeMismatch:
      return "the left operand of 'in' must have type " + text_ +
             " to match the set on the right, found " + text2_;
    case Kind::InRightNotSet:
      return "the right operand of 'in' must be a set, found " + text_;
    case Kind::OperandTypeMismatch:
      return "operands must have the same type";
    case Kind::ExpectedBool:
      return "expected an expression of type bool, found " + text_;
    case Kind::OptionalPrefixRequired:
      return "constraints that reference optional fields must use the 'optional:' prefix";
    case Kind::OptionalWithoutOptionalField:
      return "an 'optional:' constraint must reference at least one optional intent field";
    case Kind::Bytecode:
      return "bytecode: " + (bytecode_ ? bytecode_->to_string() : text_);
  }
  return text_;
}

std::string CompileError::to_string() const {
  return "error at " + std::to_string(line_) + ":" + std::to_string(col_) + ": " + message();
}

}  // namespace verdane::errors
