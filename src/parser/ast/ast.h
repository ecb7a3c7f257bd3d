// Syntax tree of one template source (placeholder until the parser lands).
#pragma once

namespace verdane::parser::ast {

struct File {};

}  // namespace verdane::parser::ast
