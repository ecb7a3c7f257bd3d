#include "parser/ast/height.h"

#include <algorithm>
#include <type_traits>
#include <variant>

#include "types/model.h"

namespace verdane::parser::ast {

std::size_t height(const ExprAst& expr) {
  return std::visit(
      [](const auto& node) -> std::size_t {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Literal> || std::is_same_v<T, Field>) {
          return 1;
        } else if constexpr (std::is_same_v<T, Not> || std::is_same_v<T, Paren>) {
          return 1 + height(*node.operand);
        } else if constexpr (std::is_same_v<T, SetOp> || std::is_same_v<T, Arith>) {
          return 1 + std::max(height(*node.lhs), height(*node.rhs));
        } else {  // And, Or, Chain
          std::size_t h = 0;
          for (const auto& op : node.operands) h = std::max(h, height(op));
          return 1 + h;
        }
      },
      expr.kind);
}

std::string too_deep_message() {
  return "expression is too deep (maximum depth is " + std::to_string(types::MAX_EXPR_DEPTH) + ")";
}

errors::CompileError too_deep_error(std::string_view src, std::size_t offset) {
  return errors::CompileError::syntax(src, offset, too_deep_message());
}

}  // namespace verdane::parser::ast
