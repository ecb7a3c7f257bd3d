#include "evaluator/typed.h"

#include <cstring>
#include <string>
#include <variant>

namespace verdane::evaluator {

namespace {

template <typename Set>
const Set& set_at(Word w) {
  return *static_cast<const Set*>(w.object);
}

// `subset of` (or, with `superset`, `superset of`) of the two sets on top
// of the stack, replaced by the result.
template <typename Set>
void subset_step(Word*& top, bool superset) {
  const Set& r = set_at<Set>(*--top);
  const Set& l = set_at<Set>(top[-1]);
  top[-1].number = superset ? r.is_subset_of(l) : l.is_subset_of(r);
}

const std::string& string_at(Word w) { return *static_cast<const std::string*>(w.object); }

// Pushes the word `as(payload)` of the value in the step's slot, whose
// payload has the declared type `T`; false when the input lacks the field.
template <typename T, typename As>
bool load(const TypedStep& step, Slots intent, Slots evidence, Word*& top, As as) {
  const types::Value* value = (step.evidence ? evidence : intent)[step.slot];
  if (value == nullptr) return false;
  *top++ = as(*std::get_if<T>(&value->data));
  return true;
}

// Membership of a text: a few elements are simply compared in turn, length
// first, which beats the ordered comparisons of a binary search.
bool contains(const types::StringSet& set, const std::string& text) {
  if (set.size() > 8) return set.contains(text);
  for (const std::string& element : set) {
    if (element.size() == text.size() &&
        std::memcmp(element.data(), text.data(), text.size()) == 0) {
      return true;
    }
  }
  return false;
}

template <typename T>
Word object(const T& payload) {
  Word w;
  w.object = &payload;
  return w;
}

}  // namespace

TypedOutcome run_typed(std::span<const TypedStep> program, Slots intent, Slots evidence,
                       Word* stack) {
  using Op = TypedStep::Op;
  Word* top = stack;  // one past the topmost value
  for (const TypedStep& step : program) {
    switch (step.op) {
      case Op::Push:
        *top++ = step.word;
        break;
      case Op::LoadBool:
        if (!load<bool>(step, intent, evidence, top, [](bool b) { return Word{b ? 1 : 0}; })) {
          return TypedOutcome::Error;
        }
        break;
      case Op::LoadInt:
        if (!load<std::int64_t>(step, intent, evidence, top,
                                [](std::int64_t i) { return Word{i}; })) {
          return TypedOutcome::Error;
        }
        break;
      case Op::LoadDate:
        if (!load<types::DateLit>(step, intent, evidence, top,
                                  [](types::DateLit d) { return Word{pack_date(d)}; })) {
          return TypedOutcome::Error;
        }
        break;
      case Op::LoadString:
        if (!load<std::string>(step, intent, evidence, top, object<std::string>))
          return TypedOutcome::Error;
        break;
      case Op::LoadIntSet:
        if (!load<types::IntSet>(step, intent, evidence, top, object<types::IntSet>))
          return TypedOutcome::Error;
        break;
      case Op::LoadStringSet:
        if (!load<types::StringSet>(step, intent, evidence, top, object<types::StringSet>)) {
          return TypedOutcome::Error;
        }
        break;
      case Op::LoadDateSet:
        if (!load<types::DateSet>(step, intent, evidence, top, object<types::DateSet>))
          return TypedOutcome::Error;
        break;
      case Op::Add:
      case Op::Sub:
      case Op::Mul: {
        const std::int64_t r = (--top)->number;
        std::int64_t& l = top[-1].number;
        const bool overflow = step.op == Op::Add   ? __builtin_add_overflow(l, r, &l)
                              : step.op == Op::Sub ? __builtin_sub_overflow(l, r, &l)
                                                   : __builtin_mul_overflow(l, r, &l);
        if (overflow) return TypedOutcome::Error;
        break;
      }
      case Op::EqNumber:
      case Op::Lt:
      case Op::Le:
      case Op::Gt:
      case Op::Ge: {
        const std::int64_t r = (--top)->number;
        const std::int64_t l = top[-1].number;
        const bool holds = step.op == Op::EqNumber ? l == r
                           : step.op == Op::Lt     ? l < r
                           : step.op == Op::Le     ? l <= r
                           : step.op == Op::Gt     ? l > r
                                                   : l >= r;
        top[-1].number = holds;
        break;
      }
      case Op::EqString: {
        const Word r = *--top;
        top[-1].number = string_at(top[-1]) == string_at(r);
        break;
      }
      case Op::EqIntSet: {
        const Word r = *--top;
        top[-1].number = set_at<types::IntSet>(top[-1]) == set_at<types::IntSet>(r);
        break;
      }
      case Op::EqStringSet: {
        const Word r = *--top;
        top[-1].number = set_at<types::StringSet>(top[-1]) == set_at<types::StringSet>(r);
        break;
      }
      case Op::EqDateSet: {
        const Word r = *--top;
        top[-1].number = set_at<types::DateSet>(top[-1]) == set_at<types::DateSet>(r);
        break;
      }
      case Op::InInt: {
        const Word r = *--top;
        top[-1].number = set_at<types::IntSet>(r).contains(top[-1].number);
        break;
      }
      case Op::InString: {
        const Word r = *--top;
        top[-1].number = contains(set_at<types::StringSet>(r), string_at(top[-1]));
        break;
      }
      case Op::InDate: {
        const Word r = *--top;
        top[-1].number = set_at<types::DateSet>(r).contains(unpack_date(top[-1].number));
        break;
      }
      case Op::SubsetInt:
      case Op::SupersetInt:
        subset_step<types::IntSet>(top, step.op == Op::SupersetInt);
        break;
      case Op::SubsetString:
      case Op::SupersetString:
        subset_step<types::StringSet>(top, step.op == Op::SupersetString);
        break;
      case Op::SubsetDate:
      case Op::SupersetDate:
        subset_step<types::DateSet>(top, step.op == Op::SupersetDate);
        break;
      case Op::Not:
        top[-1].number = !top[-1].number;
        break;
      case Op::And: {
        const std::int64_t operand = (--top)->number;
        top[-1].number = top[-1].number & operand;
        break;
      }
      case Op::Or: {
        const std::int64_t operand = (--top)->number;
        top[-1].number = top[-1].number | operand;
        break;
      }
    }
  }
  return stack[0].number ? TypedOutcome::True : TypedOutcome::False;
}

}  // namespace verdane::evaluator
