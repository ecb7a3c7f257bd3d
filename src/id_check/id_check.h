// Whether a template is the one an id names. The result says which check
// failed and carries the ids, so each command words the failure its own way.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::id_check {

struct Failure {
  enum class Check : std::uint8_t {
    Pinned,    // the pinned text is not an id: `error`
    Computed,  // the template cannot be encoded, so it has no id: `error`
    Match,     // both are ids and they differ: `expected`, `computed`
  };
  Check check = Check::Match;
  api::Error error;
  api::TemplateId expected;
  api::TemplateId computed;
};

// Which of the two possible errors a command reports when both apply.
enum class First : std::uint8_t { Pinned, Computed };

// Parses `pinned` and computes the id of `tmpl` (in the order `first`
// gives, stopping at the first error) and compares them.
Status<Failure> check(const api::Template& tmpl, std::string_view pinned, First first);

}  // namespace verdane::id_check
