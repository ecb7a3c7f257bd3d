// The typed policy template model: what the compiler produces, the bytecode
// stores, `print` renders and `eval` evaluates.
//
// Variant order of Type, Literal and Expr is the bytecode's variant index and
// must never change. Texts order by their bytes (std::string's operator<
// compares as unsigned char), dates by year (signed), month, day.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "types/ordered_set.h"

namespace verdane::types {

// Deepest expression tree the system builds or accepts, counted in nodes on
// the longest path from a constraint's root to a leaf (a lone literal has
// depth 1). The compiler rejects sources that would exceed it and the decoder
// rejects bytecode that does, so every recursive pass over a tree is bounded.
inline constexpr std::size_t MAX_EXPR_DEPTH = 4096;

enum class Type : std::uint8_t { Bool, Int, String, Date, IntSet, StringSet, DateSet };
inline constexpr std::size_t TYPE_COUNT = 7;

// "bool", "int", "string", "date", "set<int>", "set<string>", "set<date>".
std::string_view type_text(Type type);
bool is_set_type(Type type);
// The element type of a set type; nullopt for scalar types.
std::optional<Type> element_type(Type type);
// The set type whose elements have `type`; nullopt for Bool and set types.
std::optional<Type> set_type_of(Type type);

struct DateLit {
  std::int32_t year = 0;
  std::uint8_t month = 1;
  std::uint8_t day = 1;

  friend bool operator==(const DateLit&, const DateLit&) = default;
  friend std::strong_ordering operator<=>(const DateLit&, const DateLit&) = default;
};

using IntSet = OrderedSet<std::int64_t>;
using StringSet = OrderedSet<std::string>;
using DateSet = OrderedSet<DateLit>;

// The payload shared by literals and runtime values; the index of the active
// alternative equals the index of its Type.
using Scalar = std::variant<bool, std::int64_t, std::string, DateLit, IntSet, StringSet, DateSet>;

struct Literal {
  Scalar data;

  Type type() const { return static_cast<Type>(data.index()); }
  friend bool operator==(const Literal&, const Literal&) = default;
};

struct Expr;

struct IntentField {
  std::string name;  // without the "intent." prefix
};
struct EvidenceField {
  std::string name;  // without the "evidence." prefix
};

struct OperandPair;

// Two exclusively owned operands, boxed together: one allocation per node
// rather than one per operand. For In, `left` is the element and `right` the
// set. A node made without operands holds none, which encoding refuses.
struct Binary {
  std::unique_ptr<OperandPair> pair;

  const Expr& left() const;
  const Expr& right() const;
  Expr& left();
  Expr& right();
};
struct Add : Binary {};
struct Sub : Binary {};
struct Mul : Binary {};
struct Eq : Binary {};
struct Lt : Binary {};
struct Le : Binary {};
struct Gt : Binary {};
struct Ge : Binary {};
struct In : Binary {};
struct SubsetOf : Binary {};
struct SupersetOf : Binary {};
struct Not {
  std::unique_ptr<Expr> operand;
};
// n-ary connectives: operands in source order, never flattened or reordered.
struct And {
  std::vector<Expr> operands;
};
struct Or {
  std::vector<Expr> operands;
};

enum class ExprKind : std::uint8_t {
  Literal,
  IntentField,
  EvidenceField,
  Add,
  Sub,
  Mul,
  Eq,
  Lt,
  Le,
  Gt,
  Ge,
  In,
  SubsetOf,
  SupersetOf,
  Not,
  And,
  Or,
};
inline constexpr std::size_t EXPR_KIND_COUNT = 17;

struct Expr {
  using Node = std::variant<Literal, IntentField, EvidenceField, Add, Sub, Mul, Eq, Lt, Le, Gt, Ge,
                            In, SubsetOf, SupersetOf, Not, And, Or>;
  Node node;

  ExprKind kind() const { return static_cast<ExprKind>(node.index()); }
  // The two operands of Add..SupersetOf; nullptr for every other kind.
  const Binary* binary() const;
};

struct OperandPair {
  Expr left;
  Expr right;
};

inline const Expr& Binary::left() const { return pair->left; }
inline const Expr& Binary::right() const { return pair->right; }
inline Expr& Binary::left() { return pair->left; }
inline Expr& Binary::right() { return pair->right; }

// Copies the whole subtree, texts and set payloads included.
Expr deep_copy(const Expr& expr);
// Structural equality of two trees.
bool operator==(const Expr& a, const Expr& b);

// Builders for the forms that carry boxed children.
template <typename Node>
Expr make_binary(Expr left, Expr right) {
  Node node;
  node.pair = std::make_unique<OperandPair>(OperandPair{std::move(left), std::move(right)});
  return Expr{std::move(node)};
}
Expr make_not(Expr operand);
Expr make_literal(Scalar value);

struct Constraint {
  bool optional = false;
  Expr expr;
};

struct IntentFieldType {
  Type type = Type::Bool;
  bool optional = false;
  friend bool operator==(const IntentFieldType&, const IntentFieldType&) = default;
};

struct EvidenceFieldType {
  Type type = Type::Bool;
  friend bool operator==(const EvidenceFieldType&, const EvidenceFieldType&) = default;
};

// Field name to declared shape, iterated in byte order of the names.
struct IntentSchema {
  std::map<std::string, IntentFieldType> fields;
  friend bool operator==(const IntentSchema&, const IntentSchema&) = default;
};

struct EvidenceSchema {
  std::map<std::string, EvidenceFieldType> fields;
  friend bool operator==(const EvidenceSchema&, const EvidenceSchema&) = default;
};

struct PolicyTemplate {
  std::string name;
  IntentSchema intent_schema;
  EvidenceSchema evidence_schema;
  std::vector<Constraint> constraints;  // source order
};

bool operator==(const Constraint& a, const Constraint& b);
bool operator==(const PolicyTemplate& a, const PolicyTemplate& b);

}  // namespace verdane::types
