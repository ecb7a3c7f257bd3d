#include "parser/ast/height.h"

#include <algorithm>
#include <vector>

#include "types/model.h"

namespace verdane::parser::ast {

std::size_t height(const ExprAst& expr) {
  // Nodes are in postfix order, so the heights of a node's operands are on
  // top of the stack when the node is reached.
  std::vector<std::size_t> heights;
  const auto pop_max = [&heights](std::size_t count) {
    std::size_t h = 0;
    for (std::size_t k = 0; k < count; ++k) {
      h = std::max(h, heights.back());
      heights.pop_back();
    }
    return h;
  };
  for (std::size_t i = 0; i < expr.size(); ++i) {
    const NodeRef node = expr.at(i);
    switch (node.kind()) {
      case NodeKind::Element:  // part of the Set that follows
      case NodeKind::Link:     // as high as its operand
        break;
      case NodeKind::Not:
      case NodeKind::Paren:
        heights.back() += 1;
        break;
      case NodeKind::SetOp:
      case NodeKind::Arith:
        heights.push_back(pop_max(2) + 1);
        break;
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Chain:
        heights.push_back(pop_max(node.count()) + 1);
        break;
      default:  // literals and fields
        heights.push_back(1);
        break;
    }
  }
  return heights.empty() ? 0 : heights.back();
}

std::string too_deep_message() {
  return "expression is too deep (maximum depth is " + std::to_string(types::MAX_EXPR_DEPTH) + ")";
}

errors::CompileError too_deep_error(std::string_view src, std::size_t offset) {
  return errors::CompileError::syntax(src, offset, too_deep_message());
}

}  // namespace verdane::parser::ast
