// The fully parenthesised one-line text of an expression, used in reports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "types/model.h"

namespace verdane::canonical {

std::string pretty_expr(const types::Expr& expr);

}  // namespace verdane::canonical
