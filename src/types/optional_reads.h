// Which optional intent fields an expression reads: what decides whether a
// constraint must be marked optional, when it is skipped, and what the
// analysis asks to be absent.
#pragma once

#include <string>
#include <vector>

#include "types/model.h"

namespace verdane::types {

// The optional intent fields of `intent` that `expr` reads, each once, in
// byte order of their names; names the schema does not declare count for
// nothing. Walks with a stack of its own, so any depth is safe.
std::vector<std::string> optional_fields_read(const IntentSchema& intent, const Expr& expr);

}  // namespace verdane::types
