// Why a constraint failed or errored: the values its evaluation computed, one
// line per sub-expression.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "types/model.h"
#include "types/value.h"

namespace verdane::explain {

// One line of an explanation: a sub-expression's canonical text and its
// value, each ready to print within one line.
using Line = std::pair<std::string, std::string>;

// At most this many elements of a set are shown.
inline constexpr std::size_t kMaxSetElements = 10;
// Longer string values show their first bytes only.
inline constexpr std::size_t kMaxStringBytes = 200;
// Longer sub-expression texts show their first bytes only.
inline constexpr std::size_t kMaxExpressionBytes = 1000;

// Evaluates `expr` (a constraint's expression, whose inputs passed
// validation) once more and lists, in evaluation order, every field reference
// and every operator node below the root with its value; a text that occurs
// again is not listed again, and literals are left out. The node that raised
// an error is listed with "error: <reason>" and ends the list (its enclosing
// nodes have no value). Expression texts are pretty_expr's, values are shown
// by value_text, the reason with its control characters escaped. Cost: the
// evaluation, one print of the expression and the lines shown, each bounded
// by the limits above.
std::vector<Line> explain(const types::Expr& expr, const types::ValueMap& intent,
                          const types::ValueMap& evidence);

// A value of an input in the template language's literal syntax, as the
// canonical printer writes literals: True, 1200, date(2026-05-01), {1, 2}.
// Strings are quoted with the printer's escapes, and every other control
// character is shown as escape_controls does, since the text comes from an
// input and must stay on its line. A string longer than kMaxStringBytes shows
// its first bytes (whole characters) as `"<start>"... (<n> bytes)`; a set with
// more than kMaxSetElements elements shows the first ones in order and then
// `... (<n> elements)` before its closing brace.
std::string value_text(const types::Scalar& value);

}  // namespace verdane::explain
