// The model's invariants, checked before a template is analysed. A template
// compiled from source always satisfies them; crafted bytecode may not, and
// the analysis refuses such a template instead of guessing what it means.
#pragma once

#include <string>
#include <unordered_map>

#include "support/result.h"
#include "types/model.h"

namespace verdane::analysis {

// The static type of every node of every constraint of a checked template.
using NodeTypes = std::unordered_map<const types::Expr*, types::Type>;

// Checks that every field a constraint reads is declared, that every operand
// has the type its operator needs, that every constraint is a bool, and that
// a constraint is marked optional exactly when it reads an optional intent
// field. On success returns the type of every node; otherwise the first
// problem, "constraint[<i>]: <problem>", in constraint order and, within one
// constraint, in evaluation order. Walks iteratively.
Result<NodeTypes, std::string> check_template(const types::PolicyTemplate& tmpl);

}  // namespace verdane::analysis
