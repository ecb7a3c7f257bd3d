#include "explain/explain.h"

#include <cstdint>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

#include "canonical/pretty.h"
#include "evaluator/evaluate.h"
#include "support/line_text.h"
#include "support/utf8.h"
#include "types/literal_text.h"

namespace verdane::explain {

namespace {

using types::Expr;
using types::ExprKind;

// Where each node's text lies in the constraint's text, and an id that two
// nodes share exactly when their texts are equal, found by interning the
// nodes bottom-up (so equal texts are recognised without comparing them).
class NodeTexts final : public canonical::SpanSink {
 public:
  struct Info {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::uint32_t id = 0;
  };

  explicit NodeTexts(const Expr& root) : text_(canonical::pretty_expr(root, *this)) {
    assign_ids();
  }

  const Info& at(const Expr& node) const { return info_.at(&node); }

  // The text of `node`, shortened to kMaxExpressionBytes.
  std::string shown(const Info& info) const {
    const std::string_view text = std::string_view(text_).substr(info.begin, info.end - info.begin);
    const std::size_t n = utf8::prefix_length(text, kMaxExpressionBytes);
    std::string out(text.substr(0, n));
    if (n < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
  }

  void printed(const Expr& node, std::size_t begin, std::size_t end) override {
    order_.push_back(&node);
    info_[&node] = Info{begin, end, 0};
  }

 private:
  // Children come before their node in `order_`, so one pass with a stack of
  // the ids of finished subtrees names every node.
  void assign_ids() {
    std::map<std::string_view, std::uint32_t> leaves;
    std::map<std::vector<std::uint32_t>, std::uint32_t> inner;
    std::vector<std::uint32_t> done;
    std::uint32_t next = 0;
    for (const Expr* node : order_) {
      Info& info = info_[node];
      std::size_t children = 0;
      if (node->binary()) {
        children = 2;
      } else if (node->kind() == ExprKind::Not) {
        children = 1;
      } else if (node->kind() == ExprKind::And) {
        children = std::get<types::And>(node->node).operands.size();
      } else if (node->kind() == ExprKind::Or) {
        children = std::get<types::Or>(node->node).operands.size();
      }
      if (children == 0) {
        const std::string_view text =
            std::string_view(text_).substr(info.begin, info.end - info.begin);
        info.id = leaves.try_emplace(text, next).first->second;
      } else if (children == 1 && node->kind() != ExprKind::Not) {
        info.id = done.back();  // a connective of one operand prints as it
        done.pop_back();
      } else {
        std::vector<std::uint32_t> key{static_cast<std::uint32_t>(node->kind())};
        key.insert(key.end(), done.end() - static_cast<std::ptrdiff_t>(children), done.end());
        done.resize(done.size() - children);
        info.id = inner.try_emplace(std::move(key), next).first->second;
      }
      if (info.id == next) ++next;
      done.push_back(info.id);
    }
  }

  std::vector<const Expr*> order_;
  std::unordered_map<const Expr*, Info> info_;
  std::string text_;  // declared last: printing it fills the members above
};

class Recorder final : public evaluator::Trace {
 public:
  // The root's own text is the constraint line's; a node below it that
  // prints the same (the operand of a one-operand connective) says nothing new.
  Recorder(const Expr& root, const NodeTexts& texts)
      : root_(root), texts_(texts), listed_{texts.at(root).id} {}

  void value(const Expr& node, const types::Scalar& value) override {
    if (stopped_ || &node == &root_ || node.kind() == ExprKind::Literal) return;
    const NodeTexts::Info& info = texts_.at(node);
    if (!listed_.insert(info.id).second) return;
    lines_.emplace_back(texts_.shown(info), value_text(value));
  }

  void error(const Expr& node, const std::string& reason) override {
    // Only the node that raised the error; the others merely pass it on.
    if (stopped_) return;
    stopped_ = true;
    if (&node == &root_) return;
    lines_.emplace_back(texts_.shown(texts_.at(node)), "error: " + escape_controls(reason));
  }

  std::vector<Line> take() { return std::move(lines_); }

 private:
  const Expr& root_;
  const NodeTexts& texts_;
  std::set<std::uint32_t> listed_;
  bool stopped_ = false;
  std::vector<Line> lines_;
};

}  // namespace

std::vector<Line> explain(const Expr& expr, const types::ValueMap& intent,
                          const types::ValueMap& evidence) {
  const NodeTexts texts(expr);
  Recorder recorder(expr, texts);
  (void)evaluator::eval_expr(expr, intent, evidence, &recorder);
  return recorder.take();
}

std::string value_text(const types::Scalar& value) {
  // Dates as the reports show them; values come from the inputs, so their
  // control characters are escaped, and long ones are cut short.
  constexpr types::LiteralStyle kStyle{.sign_in_year_width = true,
                                       .max_string_bytes = kMaxStringBytes,
                                       .max_set_elements = kMaxSetElements,
                                       .escape_controls = true};
  std::string out;
  types::append_literal(out, value, kStyle);
  return out;
}

}  // namespace verdane::explain
