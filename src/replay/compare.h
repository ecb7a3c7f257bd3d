// How a new answer differs from the one logged for the same request.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "verdane/verdane.h"

namespace verdane::replay {

enum class Change : std::size_t {
  PassToFail,
  FailToPass,
  OtherConstraints,   // failed both times, not by the same constraints
  InputErrorChanged,  // an input error appeared, went, or says something else
  Unchanged,
};
inline constexpr std::size_t kChangeKinds = 4;  // the kinds before Unchanged

// The summary's words for each kind, and its key in the JSON summary.
inline constexpr std::array<std::string_view, kChangeKinds> kChangeNames{
    "pass -> fail", "fail -> pass", "fail -> fail, other constraints", "input_error changed"};
inline constexpr std::array<std::string_view, kChangeKinds> kChangeKeys{
    "pass_to_fail", "fail_to_pass", "fail_to_fail_other_constraints", "input_error_changed"};

// Compares two answers. Constraints are told apart by their canonical
// expression text and whether they failed or errored, never by their index
// (a new version may move them) nor by the error's wording.
Change compare(const api::Decision& old, const api::Decision& now);

}  // namespace verdane::replay
