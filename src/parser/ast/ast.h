// Syntax tree of one template source, as the parser builds it and the type
// checker lowers it. Spans are byte ranges into the source. Parentheses stay
// in the tree (Paren) so the type checker can see where they were;
// comparisons are always a Chain, and and/or are n-ary.
//
// An expression tree is stored flat: its nodes sit in one array in postfix
// order (every node right after its operands, the root last) and its texts
// in one string. A large template thus costs two allocations per constraint
// instead of one or more per node, and trees are built, moved and destroyed
// without recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors/span.h"
#include "types/model.h"

namespace verdane::parser::ast {

using errors::Span;

enum class SchemaKind : std::uint8_t { Intent, Evidence };
enum class Namespace : std::uint8_t { Intent, Evidence };
enum class CmpOp : std::uint8_t { Eq, Lt, Le, Gt, Ge };
enum class SetOpAst : std::uint8_t { In, NotIn, SubsetOf, SupersetOf };
enum class ArithOp : std::uint8_t { Add, Sub, Mul };

enum class NodeKind : std::uint8_t {
  // Literals. Integers are already negated when written with '-'.
  Bool,
  Int,
  Str,  // escapes decoded
  Date,
  Set,       // a non-empty set literal; its Elements come right before it
  EmptySet,  // written {}
  Field,     // intent.<name> or evidence.<name>
  Not,
  And,    // at least 2 operands
  Or,     // at least 2 operands
  Chain,  // n >= 2 operands; every operand after the first sits in a Link
  SetOp,
  Arith,
  Paren,
  // Parts of the nodes above, never operands themselves.
  Element,  // one element of a Set, with an Int, Str or Date value and no span
  Link,     // a chain operator over the operand to its right; spans that operand
};

// Value kinds of set literal elements (source order, duplicates and mixed
// kinds are kept for the type checker to judge).
enum class ElementKind : std::uint8_t { Int, Str, Date };

class ExprAst;

// A read-only view of one node of an ExprAst; valid while the tree is alive
// and unchanged. Accessors other than kind(), span() and index() require the
// kinds named beside them.
class NodeRef {
 public:
  NodeRef(const ExprAst& tree, std::size_t index) : tree_(&tree), index_(index) {}

  NodeKind kind() const;
  Span span() const;
  std::size_t index() const { return index_; }

  bool bool_value() const;               // Bool
  std::int64_t int_value() const;        // Int, Element
  std::string_view str() const;          // Str, Element
  types::DateLit date() const;           // Date, Element
  ElementKind element_kind() const;      // Element
  std::size_t count() const;             // Set: elements; And, Or, Chain: operands
  NodeRef element(std::size_t i) const;  // Set: the i-th element, 0-based
  Namespace ns() const;                  // Field
  std::string_view name() const;         // Field
  Span name_span() const;                // Field: the name after the dot
  NodeRef operand() const;               // Not, Paren, Link
  NodeRef lhs() const;                   // SetOp, Arith
  NodeRef rhs() const;                   // SetOp, Arith
  SetOpAst set_op() const;               // SetOp
  ArithOp arith_op() const;              // Arith
  Span op_span() const;                  // SetOp, Arith, Link: the operator's word(s)
  CmpOp cmp_op() const;                  // Link
  // And, Or, Chain: the operands in source order, appended to `out`. For a
  // Chain these are the first operand and then one Link per operator.
  void operands(std::vector<NodeRef>& out) const;

 private:
  const auto& node() const;
  NodeRef at(std::size_t index) const { return NodeRef(*tree_, index); }

  const ExprAst* tree_;
  std::size_t index_;
};

// One expression tree: nodes in postfix order, the root last. Building
// appends nodes whose operands are the trees appended most recently, so a
// parser can emit nodes as it completes them; whole trees compose with
// append().
//
// Offsets, lengths and counts are kept in 32 bits, which halves the size of
// a large template's trees: every offset given to the builders must be below
// 2^31 (the parser refuses larger sources), which also keeps node counts
// below 2^32.
class ExprAst {
 public:
  // One stored node. The meaning of `a` depends on the kind; use NodeRef to
  // read it.
  struct Node {
    NodeKind kind = NodeKind::Bool;
    std::uint8_t op = 0;
    std::uint32_t size = 1;   // nodes of the subtree rooted here, itself included
    std::uint32_t start = 0;  // the span
    std::uint32_t end = 0;
    std::uint64_t a = 0;  // a value, a count, or two 32-bit halves
  };
  static_assert(sizeof(Node) == 24);

  // An empty tree whose memory comes from the default resource (new/delete).
  ExprAst() = default;
  // An empty tree, or a copy of `other`, whose memory comes from `memory`,
  // which must outlive it. Copies made otherwise use the default resource.
  explicit ExprAst(std::pmr::memory_resource* memory) : nodes_(memory), texts_(memory) {}
  ExprAst(const ExprAst& other, std::pmr::memory_resource* memory)
      : nodes_(other.nodes_, memory), texts_(other.texts_, memory) {}
  ExprAst(const ExprAst&) = default;
  ExprAst(ExprAst&&) = default;
  ExprAst& operator=(const ExprAst&) = default;
  ExprAst& operator=(ExprAst&&) = default;

  bool empty() const { return nodes_.empty(); }
  // Number of stored nodes (Elements and Links included).
  std::size_t size() const { return nodes_.size(); }
  // Precondition for the rest: the tree holds one complete expression.
  NodeRef root() const { return NodeRef(*this, nodes_.size() - 1); }
  Span span() const { return Span{nodes_.back().start, nodes_.back().end}; }
  NodeRef at(std::size_t index) const { return NodeRef(*this, index); }
  const Node& node(std::size_t index) const { return nodes_[index]; }

  // ---- building ----
  // Leaves.
  void add_bool(bool value, Span span);
  void add_int(std::int64_t value, Span span);
  void add_str(std::string_view text, Span span);
  void add_date(types::DateLit value, Span span);
  void add_empty_set(Span span);
  void add_field(Namespace ns, std::string_view name, Span span);
  // Set literals: the elements, then add_set over the last `count` of them.
  void add_int_element(std::int64_t value);
  void add_str_element(std::string_view text);
  void add_date_element(types::DateLit value);
  void add_set(std::size_t count, Span span);
  // Nodes over the trees appended last. Spans of the nodes that join
  // operands run from the first operand's start to the last one's end.
  void add_not(std::size_t not_start);         // over the last tree
  void add_paren(Span span);                   // over the last tree
  void add_set_op(SetOpAst op, Span op_span);  // over the last two trees
  void add_arith(ArithOp op, Span op_span);    // over the last two trees
  void add_link(CmpOp op, Span op_span);       // over the last tree
  // Over the last `count` trees: for a Chain, a plain operand and count - 1
  // Links.
  void add_and(std::size_t count);
  void add_or(std::size_t count);
  void add_chain(std::size_t count);
  // Appends all of `other` as one more tree.
  void append(const ExprAst& other);

  void clear() {
    nodes_.clear();
    texts_.clear();
  }

 private:
  friend class NodeRef;

  // The root of the tree that ends right before the tree rooted at `root`.
  std::size_t previous_tree(std::size_t root) const { return root - nodes_[root].size; }
  void add(NodeKind kind, std::uint8_t op, std::size_t size, Span span, std::uint64_t a);
  void add_text_leaf(NodeKind kind, std::uint8_t op, std::string_view text, Span span);
  // Appends a node whose operands are the last `count` trees.
  void add_over(NodeKind kind, std::uint8_t op, std::size_t count, Span span, std::uint64_t a);
  void add_nary(NodeKind kind, std::size_t count);

  std::pmr::vector<Node> nodes_;
  std::pmr::string texts_;
};

// ---- NodeRef accessors, kept inline: lowering calls them for every node ----

inline const auto& NodeRef::node() const { return tree_->nodes_[index_]; }
inline NodeKind NodeRef::kind() const { return node().kind; }
inline Span NodeRef::span() const { return Span{node().start, node().end}; }
inline bool NodeRef::bool_value() const { return node().op != 0; }
inline std::int64_t NodeRef::int_value() const { return static_cast<std::int64_t>(node().a); }
// Texts: offset into the tree's texts in the high half, length in the low.
inline std::string_view NodeRef::str() const {
  return std::string_view(tree_->texts_).substr(node().a >> 32, node().a & 0xFFFFFFFF);
}
inline ElementKind NodeRef::element_kind() const { return static_cast<ElementKind>(node().op); }
inline std::size_t NodeRef::count() const { return node().a; }
inline NodeRef NodeRef::element(std::size_t i) const { return at(index_ - count() + i); }
inline Namespace NodeRef::ns() const { return static_cast<Namespace>(node().op); }
inline std::string_view NodeRef::name() const { return str(); }
inline NodeRef NodeRef::operand() const { return at(index_ - 1); }
inline NodeRef NodeRef::rhs() const { return at(index_ - 1); }
inline NodeRef NodeRef::lhs() const { return at(tree_->previous_tree(index_ - 1)); }
inline SetOpAst NodeRef::set_op() const { return static_cast<SetOpAst>(node().op); }
inline ArithOp NodeRef::arith_op() const { return static_cast<ArithOp>(node().op); }
// Operator spans: start in the high half, end in the low.
inline Span NodeRef::op_span() const {
  return Span{static_cast<std::size_t>(node().a >> 32),
              static_cast<std::size_t>(node().a & 0xFFFFFFFF)};
}
inline CmpOp NodeRef::cmp_op() const { return static_cast<CmpOp>(node().op); }

struct SchemaField {
  std::string name;
  Span span;              // the name identifier
  bool optional = false;  // only ever set in an intent block
  types::Type ty = types::Type::Bool;
};

struct Schema {
  std::vector<SchemaField> fields;  // source order, duplicates kept
  Span span;                        // block keyword to closing }
  SchemaKind kind = SchemaKind::Intent;
};

struct ConstraintAst {
  ExprAst expr;
  Span span;  // first token (including a leading optional) to the end of expr
  bool optional = false;
};

// Memory for the expression trees of a whole file: taken from large blocks
// that ask for huge pages and released all at once, with the file. A large
// template's trees take tens of megabytes, and touching that much fresh
// memory one 4 KiB page at a time costs more than building the trees. The
// first block holds `first_block` bytes (at least 64 KiB), later ones grow
// from there; sized after the source, all but the smallest files get huge
// pages from the start.
std::unique_ptr<std::pmr::memory_resource> make_tree_memory(std::size_t first_block);

struct File {
  // A file whose trees are built by hand, in memory of their own.
  File() = default;
  // A file whose constraints' trees are built in `memory`.
  explicit File(std::unique_ptr<std::pmr::memory_resource> memory)
      : tree_memory(std::move(memory)) {}
  File(File&&) = default;
  // Assigning would release the target's memory before the trees that live
  // in it.
  File& operator=(File&&) = delete;

  // Where the parser keeps the constraints' trees (null for files built by
  // hand); declared first so that it outlives them.
  std::unique_ptr<std::pmr::memory_resource> tree_memory;
  std::string name;
  Span name_span;
  std::optional<Schema> intent;
  Schema evidence;
  // Never empty. A deque, which never moves its elements: a large template's
  // list grows without copying what it already holds.
  std::deque<ConstraintAst> constraints;
};

}  // namespace verdane::parser::ast
