#include "evaluator/typed.h"

#include <algorithm>
#include <string_view>

namespace verdane::evaluator {

namespace {

using types::ValueView;

const ValueView& view_at(Word w) { return *w.object; }

bool ints_subset(std::span<const std::int64_t> sub, std::span<const std::int64_t> super) {
  return std::includes(super.begin(), super.end(), sub.begin(), sub.end());
}
bool dates_subset(std::span<const types::DateLit> sub, std::span<const types::DateLit> super) {
  return std::includes(super.begin(), super.end(), sub.begin(), sub.end());
}

// `subset of` (or, with `superset`, `superset of`) of the two sets on top
// of the stack, replaced by the result.
template <typename Subset>
void subset_step(Word*& top, bool superset, Subset subset) {
  const ValueView& r = view_at(*--top);
  const ValueView& l = view_at(top[-1]);
  top[-1].number = superset ? subset(r, l) : subset(l, r);
}

// The value in the step's slot (of the declared type), or nullptr when the
// input lacks the field.
const ValueView* slot_of(const TypedStep& step, Slots intent, Slots evidence) {
  const ValueView& value = (step.evidence ? evidence : intent)[step.slot];
  return value.present() ? &value : nullptr;
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
      case Op::LoadInt: {
        const ValueView* value = slot_of(step, intent, evidence);
        if (value == nullptr) return TypedOutcome::Error;
        (top++)->number = value->as_int();  // a bool's number is 0 or 1
        break;
      }
      case Op::LoadDate: {
        const ValueView* value = slot_of(step, intent, evidence);
        if (value == nullptr) return TypedOutcome::Error;
        (top++)->number = pack_date(value->as_date());
        break;
      }
      case Op::LoadString:
      case Op::LoadIntSet:
      case Op::LoadStringSet:
      case Op::LoadDateSet: {
        const ValueView* value = slot_of(step, intent, evidence);
        if (value == nullptr) return TypedOutcome::Error;
        (top++)->object = value;
        break;
      }
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
        top[-1].number = view_at(top[-1]).as_text() == view_at(r).as_text();
        break;
      }
      case Op::EqIntSet:
      case Op::EqStringSet:
      case Op::EqDateSet: {
        const Word r = *--top;
        top[-1].number = view_at(top[-1]) == view_at(r);
        break;
      }
      case Op::InInt: {
        const Word r = *--top;
        const auto items = view_at(r).as_ints();
        top[-1].number = std::binary_search(items.begin(), items.end(), top[-1].number);
        break;
      }
      case Op::InString: {
        const Word r = *--top;
        top[-1].number = view_at(r).as_texts().contains(view_at(top[-1]).as_text());
        break;
      }
      case Op::InDate: {
        const Word r = *--top;
        const auto items = view_at(r).as_dates();
        top[-1].number =
            std::binary_search(items.begin(), items.end(), unpack_date(top[-1].number));
        break;
      }
      case Op::SubsetInt:
      case Op::SupersetInt:
        subset_step(top, step.op == Op::SupersetInt, [](const ValueView& a, const ValueView& b) {
          return ints_subset(a.as_ints(), b.as_ints());
        });
        break;
      case Op::SubsetString:
      case Op::SupersetString:
        subset_step(top, step.op == Op::SupersetString, [](const ValueView& a, const ValueView& b) {
          return a.as_texts().is_subset_of(b.as_texts());
        });
        break;
      case Op::SubsetDate:
      case Op::SupersetDate:
        subset_step(top, step.op == Op::SupersetDate, [](const ValueView& a, const ValueView& b) {
          return dates_subset(a.as_dates(), b.as_dates());
        });
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
