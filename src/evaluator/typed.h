// Programs of steps whose operand types are known when the plan is made.
//
// In a checked template every node's operand types follow from the literals
// and the declared field types, and inputs are checked against those types
// before any constraint runs. A step that knows its operands' types needs no
// test of them and holds every value in one machine word: booleans,
// integers and dates (packed so that their order is the order of the
// numbers) by value, texts and sets by pointer. Such a program only tells
// whether an error was raised; which one, the generic program tells.
#pragma once

#include <cstdint>
#include <span>

#include "types/model.h"
#include "types/value_view.h"

namespace verdane::evaluator {

// The values of one side of a request by slot: slot i holds the value of the
// i-th field of that side's schema in name order, or no value when the input
// lacks the field. The views belong to the loaded request (or the caller's
// values) and must outlive the evaluation.
using Slots = std::span<const types::ValueView>;

// One value on a typed program's stack.
union Word {
  std::int64_t number;             // bool (0 or 1), int, packed date
  const types::ValueView* object;  // a text or a set: an input's slot or a plan's literal
};

// A date as one number ordered as the dates are: year, month, day.
constexpr std::int64_t pack_date(types::DateLit d) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(std::int64_t{d.year}) << 16) |
         (std::int64_t{d.month} << 8) | d.day;
}
constexpr types::DateLit unpack_date(std::int64_t packed) {
  return types::DateLit{static_cast<std::int32_t>(packed >> 16),
                        static_cast<std::uint8_t>((packed >> 8) & 0xFF),
                        static_cast<std::uint8_t>(packed & 0xFF)};
}

struct TypedStep {
  enum class Op : std::uint8_t {
    Push,      // `word`
    LoadBool,  // a field's value, by its declared type
    LoadInt,
    LoadDate,
    LoadString,
    LoadIntSet,
    LoadStringSet,
    LoadDateSet,
    Add,  // ints, overflow is an error
    Sub,
    Mul,
    EqNumber,  // bools, ints, dates
    EqString,
    EqIntSet,
    EqStringSet,
    EqDateSet,
    Lt,  // ints, dates
    Le,
    Gt,
    Ge,
    InInt,
    InString,
    InDate,
    SubsetInt,  // left subset of right
    SubsetString,
    SubsetDate,
    SupersetInt,  // left superset of right
    SupersetString,
    SupersetDate,
    Not,
    And,  // combine the operand on top into the connective below
    Or,
  };
  Op op;
  bool evidence;       // Load*: the side
  std::uint32_t slot;  // Load*: the slot
  Word word;           // Push: the value
};
static_assert(sizeof(TypedStep) == 16);

enum class TypedOutcome : std::uint8_t { True, False, Error };

// Runs `program` over `stack` (room for its values): the value of its
// boolean result, or Error when a step raised one (an absent field, integer
// overflow). The slots hold values of the declared types.
TypedOutcome run_typed(std::span<const TypedStep> program, Slots intent, Slots evidence,
                       Word* stack);

}  // namespace verdane::evaluator
