// Placeholder until the canonical printer lands.
#include "canonical/pretty.h"

namespace verdane::canonical {

std::string pretty_expr(const types::Expr&) { return "<expression>"; }

}  // namespace verdane::canonical
