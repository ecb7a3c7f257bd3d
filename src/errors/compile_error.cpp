#include "errors/compile_error.h"

namespace verdane::errors {

CompileError CompileError::bytecode(korvel::serializers::SerializerError error) {
  CompileError e;
  e.kind_ = Kind::Bytecode;
  e.bytecode_ = std::move(error);
  return e;
}

std::string CompileError::message() const {
  if (kind_ == Kind::Bytecode) return "bytecode: " + bytecode_->to_string();
  return text_;
}

std::string CompileError::to_string() const {
  return "error at " + std::to_string(line_) + ":" + std::to_string(col_) + ": " + message();
}

}  // namespace verdane::errors
