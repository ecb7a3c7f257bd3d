// Iterative walks over expression trees. Trees may be MAX_EXPR_DEPTH deep and
// the analysis keeps several frames per level, so it walks with a stack of
// its own instead of recursing.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "types/model.h"

namespace verdane::analysis {

// The operands of `expr` in evaluation order, appended to `out`.
inline void children(const types::Expr& expr, std::vector<const types::Expr*>& out) {
  if (const types::Binary* b = expr.binary()) {
    out.push_back(&b->left());
    out.push_back(&b->right());
  } else if (const auto* n = std::get_if<types::Not>(&expr.node)) {
    out.push_back(n->operand.get());
  } else if (const auto* a = std::get_if<types::And>(&expr.node)) {
    for (const types::Expr& e : a->operands) out.push_back(&e);
  } else if (const auto* o = std::get_if<types::Or>(&expr.node)) {
    for (const types::Expr& e : o->operands) out.push_back(&e);
  }
}

// Calls `visit(node)` for every node of `root`, operands before the node that
// holds them and in evaluation order (left to right), so that a visit sees
// the results of its operands' visits. Stops early when `visit` returns false;
// returns whether the walk completed.
template <typename Visit>
bool post_order(const types::Expr& root, Visit&& visit) {
  struct Frame {
    const types::Expr* node;
    std::vector<const types::Expr*> operands;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  stack.push_back({&root, {}});
  children(root, stack.back().operands);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.operands.size()) {
      const types::Expr* child = top.operands[top.next++];
      Frame frame{child, {}};
      children(*child, frame.operands);
      stack.push_back(std::move(frame));
      continue;
    }
    const types::Expr* done = top.node;
    stack.pop_back();
    if (!visit(*done)) return false;
  }
  return true;
}

}  // namespace verdane::analysis
