// The generic machine: runs a plan's program over values of any type,
// testing every operand's type as it goes. It tells which error a typed
// program raised, and it is the only machine for untyped programs and for
// traced evaluations. Internal to the evaluator.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "evaluator/evaluate.h"

namespace verdane::evaluator {

inline types::Type type_of(const types::Scalar& data) {
  return static_cast<types::Type>(data.index());
}

// A value on a program's stack: a view borrowed from an input's slot or a
// literal of the plan (both outlive the evaluation), or a boolean or an
// integer computed by a step (the only values steps compute). Borrowing
// keeps field references and literals from copying sets of any size; holding
// computed values outside a view keeps an operand small and trivial.
class Operand {
 public:
  // A slot of the stack before a step writes it: left uninitialised, so a
  // stack costs nothing to set up.
  Operand() = default;
  // `view` holds a value.
  static Operand borrow(const types::ValueView& view) {
    Operand o(view.type(), &view, 0);
    // Booleans and integers are copied out, so reading them never goes
    // back to the view.
    if (view.type() == types::Type::Bool || view.type() == types::Type::Int) {
      o.number_ = view.as_int();
    }
    return o;
  }
  static Operand boolean(bool b) { return Operand(types::Type::Bool, nullptr, b ? 1 : 0); }
  static Operand integer(std::int64_t i) { return Operand(types::Type::Int, nullptr, i); }

  types::Type type() const { return type_; }
  // Preconditions: type() is Bool, Int.
  bool as_bool() const { return number_ != 0; }
  std::int64_t as_int() const { return number_; }
  // The view of any other type, which is always borrowed.
  const types::ValueView& payload() const { return *borrowed_; }

  // Values of different types are simply unequal.
  friend bool operator==(const Operand& a, const Operand& b) {
    if (a.type_ != b.type_) return false;
    if (a.type_ == types::Type::Bool || a.type_ == types::Type::Int) return a.number_ == b.number_;
    return a.payload() == b.payload();
  }

 private:
  Operand(types::Type type, const types::ValueView* borrowed, std::int64_t number)
      : type_(type), borrowed_(borrowed), number_(number) {}
  types::Type type_;
  const types::ValueView* borrowed_;  // nullptr for a computed value
  std::int64_t number_;               // a boolean (0 or 1) or an integer
};

static_assert(std::is_trivial_v<Operand>);

// Room for the values of any program of a plan: on the call stack when the
// programs are small, as they are for nearly every template.
template <typename T>
class Stack {
 public:
  explicit Stack(std::size_t size) {
    if (size > inline_.size()) heap_.resize(size);
  }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  T* data() { return heap_.empty() ? inline_.data() : heap_.data(); }

 private:
  std::array<T, 32> inline_;
  std::vector<T> heap_;
};

// Runs one program of `plan` over `stack` (room for the plan's stack size): true with
// the value it computes in `result`, or false with the text of the first
// error raised in `error`. `trace`, when given, is told of every node's value
// or error as well.
bool run_program(const Plan& plan, std::span<const Plan::Step> program, Slots intent,
                 Slots evidence, Operand* stack, Operand& result, std::string& error, Trace* trace);

}  // namespace verdane::evaluator
