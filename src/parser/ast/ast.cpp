#include "parser/ast/ast.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace verdane::parser::ast {

namespace {

using Node = ExprAst::Node;

std::uint64_t pack_date(types::DateLit d) {
  return static_cast<std::uint32_t>(d.year) | (static_cast<std::uint64_t>(d.month) << 32) |
         (static_cast<std::uint64_t>(d.day) << 40);
}

types::DateLit unpack_date(std::uint64_t a) {
  types::DateLit d;
  d.year = static_cast<std::int32_t>(static_cast<std::uint32_t>(a));
  d.month = static_cast<std::uint8_t>(a >> 32);
  d.day = static_cast<std::uint8_t>(a >> 40);
  return d;
}

// Two 32-bit values in one payload, `high` first.
std::uint64_t pack_pair(std::size_t high, std::size_t low) {
  return (static_cast<std::uint64_t>(high) << 32) | static_cast<std::uint32_t>(low);
}

bool holds_text(const Node& n) {
  return n.kind == NodeKind::Str || n.kind == NodeKind::Field ||
         (n.kind == NodeKind::Element && n.op == static_cast<std::uint8_t>(ElementKind::Str));
}

}  // namespace

// ---- NodeRef ----

types::DateLit NodeRef::date() const { return unpack_date(node().a); }

Span NodeRef::name_span() const {
  // The name ends the field reference and is written exactly as stored.
  const std::size_t end = node().end;
  return Span{end - name().size(), end};
}

void NodeRef::operands(std::vector<NodeRef>& out) const {
  // Operands end right before this node; walk back from the last one.
  const std::size_t n = count();
  const std::size_t base = out.size();
  out.resize(base + n, *this);
  std::size_t root = index_ - 1;
  for (std::size_t k = n; k-- > 0;) {
    out[base + k] = NodeRef(*tree_, root);
    if (k != 0) root = tree_->previous_tree(root);
  }
}

// ---- ExprAst ----

void ExprAst::add(NodeKind kind, std::uint8_t op, std::size_t size, Span span, std::uint64_t a) {
  nodes_.push_back(Node{kind, op, static_cast<std::uint32_t>(size),
                        static_cast<std::uint32_t>(span.start),
                        static_cast<std::uint32_t>(span.end), a});
}

void ExprAst::add_text_leaf(NodeKind kind, std::uint8_t op, std::string_view text, Span span) {
  const std::size_t offset = texts_.size();
  texts_.append(text);
  add(kind, op, 1, span, pack_pair(offset, text.size()));
}

void ExprAst::add_bool(bool value, Span span) { add(NodeKind::Bool, value ? 1 : 0, 1, span, 0); }
void ExprAst::add_int(std::int64_t value, Span span) {
  add(NodeKind::Int, 0, 1, span, static_cast<std::uint64_t>(value));
}
void ExprAst::add_str(std::string_view text, Span span) {
  add_text_leaf(NodeKind::Str, 0, text, span);
}
void ExprAst::add_date(types::DateLit value, Span span) {
  add(NodeKind::Date, 0, 1, span, pack_date(value));
}
void ExprAst::add_empty_set(Span span) { add(NodeKind::EmptySet, 0, 1, span, 0); }
void ExprAst::add_field(Namespace ns, std::string_view name, Span span) {
  add_text_leaf(NodeKind::Field, static_cast<std::uint8_t>(ns), name, span);
}

void ExprAst::add_int_element(std::int64_t value) {
  add(NodeKind::Element, static_cast<std::uint8_t>(ElementKind::Int), 1, Span{},
      static_cast<std::uint64_t>(value));
}
void ExprAst::add_str_element(std::string_view text) {
  add_text_leaf(NodeKind::Element, static_cast<std::uint8_t>(ElementKind::Str), text, Span{});
}
void ExprAst::add_date_element(types::DateLit value) {
  add(NodeKind::Element, static_cast<std::uint8_t>(ElementKind::Date), 1, Span{}, pack_date(value));
}
void ExprAst::add_set(std::size_t count, Span span) {
  add(NodeKind::Set, 0, count + 1, span, count);
}

void ExprAst::add_over(NodeKind kind, std::uint8_t op, std::size_t count, Span span,
                       std::uint64_t a) {
  std::size_t size = 1;
  std::size_t root = nodes_.size() - 1;
  for (std::size_t k = 0; k < count; ++k) {
    size += nodes_[root].size;
    if (k + 1 < count) root = previous_tree(root);
  }
  add(kind, op, size, span, a);
}

void ExprAst::add_not(std::size_t not_start) {
  add_over(NodeKind::Not, 0, 1, Span{not_start, nodes_.back().end}, 0);
}

void ExprAst::add_paren(Span span) { add_over(NodeKind::Paren, 0, 1, span, 0); }

void ExprAst::add_set_op(SetOpAst op, Span op_span) {
  const std::size_t rhs = nodes_.size() - 1;
  const Span span{nodes_[previous_tree(rhs)].start, nodes_[rhs].end};
  add_over(NodeKind::SetOp, static_cast<std::uint8_t>(op), 2, span,
           pack_pair(op_span.start, op_span.end));
}

void ExprAst::add_arith(ArithOp op, Span op_span) {
  const std::size_t rhs = nodes_.size() - 1;
  const Span span{nodes_[previous_tree(rhs)].start, nodes_[rhs].end};
  add_over(NodeKind::Arith, static_cast<std::uint8_t>(op), 2, span,
           pack_pair(op_span.start, op_span.end));
}

void ExprAst::add_link(CmpOp op, Span op_span) {
  const Node& operand = nodes_.back();
  add_over(NodeKind::Link, static_cast<std::uint8_t>(op), 1, Span{operand.start, operand.end},
           pack_pair(op_span.start, op_span.end));
}

void ExprAst::add_nary(NodeKind kind, std::size_t count) {
  std::size_t first = nodes_.size() - 1;
  for (std::size_t k = 1; k < count; ++k) first = previous_tree(first);
  add_over(kind, 0, count, Span{nodes_[first].start, nodes_.back().end}, count);
}

void ExprAst::add_and(std::size_t count) { add_nary(NodeKind::And, count); }
void ExprAst::add_or(std::size_t count) { add_nary(NodeKind::Or, count); }
void ExprAst::add_chain(std::size_t count) { add_nary(NodeKind::Chain, count); }

void ExprAst::append(const ExprAst& other) {
  const std::uint64_t offset = texts_.size();
  texts_ += other.texts_;
  for (Node n : other.nodes_) {
    if (holds_text(n)) n.a += offset << 32;
    nodes_.push_back(n);
  }
}

// ---- tree memory ----

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Blocks from new/delete, aligned to and advised for huge pages when they
// hold at least one whole huge page. Only advice: where the system does not
// follow it, nothing changes.
class HugePageBlocks final : public std::pmr::memory_resource {
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (bytes < kHugePage) return ::operator new (bytes, std::align_val_t{alignment});
    const std::size_t size = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* p = ::operator new (size, std::align_val_t{kHugePage});
#ifdef MADV_HUGEPAGE
    ::madvise(p, size, MADV_HUGEPAGE);
#endif
    return p;
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    if (bytes < kHugePage) {
      ::operator delete (p, std::align_val_t{alignment});
    } else {
      ::operator delete (p, std::align_val_t{kHugePage});
    }
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
};

// Hands out memory from ever larger blocks and frees it only when
// destroyed.
class TreeMemory final : public std::pmr::memory_resource {
 public:
  explicit TreeMemory(std::size_t first_block)
      : arena_(std::max(first_block, kMinFirstBlock), &blocks_) {}

 private:
  static constexpr std::size_t kMinFirstBlock = std::size_t{64} << 10;

  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    return arena_.allocate(bytes, alignment);
  }
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }

  HugePageBlocks blocks_;
  std::pmr::monotonic_buffer_resource arena_;
};

}  // namespace

std::unique_ptr<std::pmr::memory_resource> make_tree_memory(std::size_t first_block) {
  return std::make_unique<TreeMemory>(first_block);
}

}  // namespace verdane::parser::ast
