// Short builders for hand-made expression trees and values in unit tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "types/model.h"
#include "types/value.h"

namespace verdane::test {

using types::Expr;

inline Expr I(std::string name) { return Expr{types::IntentField{std::move(name)}}; }
inline Expr E(std::string name) { return Expr{types::EvidenceField{std::move(name)}}; }
inline Expr Int(std::int64_t v) { return types::make_literal(v); }
inline Expr Bool(bool v) { return types::make_literal(v); }
inline Expr Str(std::string v) { return types::make_literal(std::move(v)); }
inline types::DateLit D(std::int32_t y, std::uint8_t m, std::uint8_t d) { return {y, m, d}; }
inline Expr Date(std::int32_t y, std::uint8_t m, std::uint8_t d) {
  return types::make_literal(D(y, m, d));
}
inline Expr Ints(std::vector<std::int64_t> v) {
  return types::make_literal(types::IntSet(std::move(v)));
}
inline Expr Strs(std::vector<std::string> v) {
  return types::make_literal(types::StringSet(std::move(v)));
}
inline Expr Dates(std::vector<types::DateLit> v) {
  return types::make_literal(types::DateSet(std::move(v)));
}

template <typename Node>
Expr B(Expr l, Expr r) {
  return types::make_binary<Node>(std::move(l), std::move(r));
}
inline Expr Not(Expr x) { return types::make_not(std::move(x)); }

// Connectives from a movable list (initializer lists cannot hold move-only
// trees).
template <typename... Xs>
std::vector<Expr> list(Xs... xs) {
  std::vector<Expr> v;
  (v.push_back(std::move(xs)), ...);
  return v;
}
template <typename... Xs>
Expr And(Xs... xs) {
  return Expr{types::And{list(std::move(xs)...)}};
}
template <typename... Xs>
Expr Or(Xs... xs) {
  return Expr{types::Or{list(std::move(xs)...)}};
}

using ExprFn = std::function<Expr()>;

inline types::Value V(types::Scalar s) { return types::Value{std::move(s)}; }
inline types::Value VInt(std::int64_t v) { return V(v); }

}  // namespace verdane::test
