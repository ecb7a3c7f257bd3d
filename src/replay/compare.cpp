#include "replay/compare.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace verdane::replay {

namespace {

// The constraints that did not pass, as a sorted list (a template may repeat
// a constraint, so it is a multiset).
std::vector<std::pair<std::string_view, api::Outcome::Kind>> not_passed(const api::Decision& d) {
  std::vector<std::pair<std::string_view, api::Outcome::Kind>> out;
  out.reserve(d.outcomes.size());
  for (const api::Outcome& o : d.outcomes) out.emplace_back(o.expression, o.kind);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

Change compare(const api::Decision& old, const api::Decision& now) {
  if (old.input_error || now.input_error) {
    return old.input_error == now.input_error ? Change::Unchanged : Change::InputErrorChanged;
  }
  if (old.pass != now.pass) return old.pass ? Change::PassToFail : Change::FailToPass;
  if (old.pass) return Change::Unchanged;
  // Mostly the same constraints in the same order: no need to sort.
  const auto same = [](const api::Outcome& a, const api::Outcome& b) {
    return a.kind == b.kind && a.expression == b.expression;
  };
  if (std::equal(old.outcomes.begin(), old.outcomes.end(), now.outcomes.begin(), now.outcomes.end(),
                 same)) {
    return Change::Unchanged;
  }
  return not_passed(old) == not_passed(now) ? Change::Unchanged : Change::OtherConstraints;
}

}  // namespace verdane::replay
