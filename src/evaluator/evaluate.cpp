#include "evaluator/evaluate.h"

#include <compare>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "canonical/pretty.h"

namespace verdane::evaluator {

namespace {

using errors::ConstraintOutcome;
using types::Expr;
using types::Scalar;
using types::Type;
using types::Value;
using types::ValueMap;

Type type_of(const Scalar& data) { return static_cast<Type>(data.index()); }

std::string type_name(const Scalar& data) { return std::string(types::type_text(type_of(data))); }

// What evaluating a node yields: a payload borrowed from an input value or a
// literal of the template (both outlive the evaluation), or one computed by
// the node. Borrowing keeps field references and literals from copying sets
// of any size; the results are the same as with copies.
class Operand {
 public:
  static Operand borrow(const Scalar& data) { return Operand(&data, {}); }
  static Operand own(Scalar data) { return Operand(nullptr, std::move(data)); }

  const Scalar& get() const { return borrowed_ ? *borrowed_ : owned_; }

 private:
  Operand(const Scalar* borrowed, Scalar owned) : borrowed_(borrowed), owned_(std::move(owned)) {}
  const Scalar* borrowed_;
  Scalar owned_;
};

using Eval = Result<Operand, std::string>;

Eval boolean(bool b) { return Operand::own(Scalar(std::in_place_index<0>, b)); }

struct Inputs {
  const ValueMap& intent;
  const ValueMap& evidence;
  Trace* trace = nullptr;  // only when the caller watches the evaluation
};

Eval eval(const Expr& expr, const Inputs& in);

Eval field(const ValueMap& values, const std::string& name, const char* side) {
  const auto it = values.find(name);
  if (it == values.end()) {
    return make_err(std::string(side) + " field `" + name + "` is absent");
  }
  return Operand::borrow(it->second.data);
}

// Error texts are built out of line so that their temporaries do not enlarge
// the frames of the recursive evaluation.
[[gnu::noinline]] Eval int_type_error(std::string_view op_text, const Scalar& l, const Scalar& r) {
  return make_err("internal: `" + std::string(op_text) + "` on non-int operands `" + type_name(l) +
                  "`, `" + type_name(r) + "`");
}

[[gnu::noinline]] Eval overflow_error(std::int64_t l, std::string_view op_text, std::int64_t r) {
  return make_err("integer overflow in `" + std::to_string(l) + " " + std::string(op_text) + " " +
                  std::to_string(r) + "`");
}

[[gnu::noinline]] Eval pair_error(const char* what, const Scalar& l, const Scalar& r) {
  return make_err(std::string(what) + type_name(l) + "` and `" + type_name(r) + "`");
}

[[gnu::noinline]] Eval connective_error(bool is_and, const Scalar& operand) {
  return make_err(std::string("internal: `") + (is_and ? "and" : "or") +
                  "` operand is not bool (type " + type_name(operand) + ")");
}

[[gnu::noinline]] Eval not_error(const Scalar& operand) {
  return make_err("internal: `not` applied to non-bool (type " + type_name(operand) + ")");
}

using IntOp = bool (*)(std::int64_t, std::int64_t, std::int64_t*);

// Add, Sub and Mul: both operands first, then their types, then the checked
// operation.
Eval int_binop(const types::Binary& node, const Inputs& in, IntOp op, std::string_view op_text) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  const auto* l = std::get_if<std::int64_t>(&left->get());
  const auto* r = std::get_if<std::int64_t>(&right->get());
  if (!l || !r) return int_type_error(op_text, left->get(), right->get());
  std::int64_t result = 0;
  if (op(*l, *r, &result)) return overflow_error(*l, op_text, *r);
  return Operand::own(Scalar(std::in_place_index<1>, result));
}

using OrderPredicate = bool (*)(std::strong_ordering);

// Lt, Le, Gt and Ge: only integers and dates are ordered.
Eval order_cmp(const types::Binary& node, const Inputs& in, OrderPredicate holds) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  const Scalar& l = left->get();
  const Scalar& r = right->get();
  if (const auto* a = std::get_if<std::int64_t>(&l)) {
    if (const auto* b = std::get_if<std::int64_t>(&r)) return boolean(holds(*a <=> *b));
  } else if (const auto* a = std::get_if<types::DateLit>(&l)) {
    if (const auto* b = std::get_if<types::DateLit>(&r)) return boolean(holds(*a <=> *b));
  }
  return pair_error("internal: ordering comparison of `", l, r);
}

Eval membership(const types::Binary& node, const Inputs& in) {
  auto element = eval(*node.left, in);
  if (!element) return element;
  auto set = eval(*node.right, in);
  if (!set) return set;
  const Scalar& e = element->get();
  const Scalar& s = set->get();
  if (const auto* i = std::get_if<std::int64_t>(&e)) {
    if (const auto* is = std::get_if<types::IntSet>(&s)) return boolean(is->contains(*i));
  } else if (const auto* t = std::get_if<std::string>(&e)) {
    if (const auto* ts = std::get_if<types::StringSet>(&s)) return boolean(ts->contains(*t));
  } else if (const auto* d = std::get_if<types::DateLit>(&e)) {
    if (const auto* ds = std::get_if<types::DateSet>(&s)) return boolean(ds->contains(*d));
  }
  return pair_error("internal: `in` operand types `", e, s);
}

// Whether every element of `sub` is in `super`, for two sets of one kind;
// nullopt for any other pair of payloads.
std::optional<bool> subset(const Scalar& sub, const Scalar& super) {
  return std::visit(
      [&](const auto& a) -> std::optional<bool> {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, types::IntSet> || std::is_same_v<A, types::StringSet> ||
                      std::is_same_v<A, types::DateSet>) {
          if (const auto* b = std::get_if<A>(&super)) return a.is_subset_of(*b);
        }
        return std::nullopt;
      },
      sub);
}

// SubsetOf (`superset` false) and SupersetOf (`superset` true).
Eval set_relation(const types::Binary& node, const Inputs& in, bool superset) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  const Scalar& l = left->get();
  const Scalar& r = right->get();
  const auto holds = superset ? subset(r, l) : subset(l, r);
  if (!holds) {
    return pair_error(superset ? "internal: `superset of` operand types `"
                               : "internal: `subset of` operand types `",
                      l, r);
  }
  return boolean(*holds);
}

// And (`is_and` true, starting from true) and Or: every operand is evaluated
// and checked right away, whatever the running result.
Eval connective(const std::vector<Expr>& operands, const Inputs& in, bool is_and) {
  bool result = is_and;
  for (const Expr& operand : operands) {
    auto value = eval(operand, in);
    if (!value) return value;
    const auto* b = std::get_if<bool>(&value->get());
    if (!b) return connective_error(is_and, value->get());
    result = is_and ? (result && *b) : (result || *b);
  }
  return boolean(result);
}

bool add_op(std::int64_t a, std::int64_t b, std::int64_t* r) {
  return __builtin_add_overflow(a, b, r);
}
bool sub_op(std::int64_t a, std::int64_t b, std::int64_t* r) {
  return __builtin_sub_overflow(a, b, r);
}
bool mul_op(std::int64_t a, std::int64_t b, std::int64_t* r) {
  return __builtin_mul_overflow(a, b, r);
}

Eval not_op(const types::Not& node, const Inputs& in) {
  auto operand = eval(*node.operand, in);
  if (!operand) return operand;
  const auto* b = std::get_if<bool>(&operand->get());
  if (!b) return not_error(operand->get());
  return boolean(!*b);
}

Eval equality(const types::Binary& node, const Inputs& in) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  // Payloads of different types are simply unequal.
  return boolean(left->get() == right->get());
}

bool less(std::strong_ordering o) { return o < 0; }
bool less_equal(std::strong_ordering o) { return o <= 0; }
bool greater(std::strong_ordering o) { return o > 0; }
bool greater_equal(std::strong_ordering o) { return o >= 0; }

// One plain switch per node keeps the recursion to two small frames per tree
// level (`eval`, into which this is inlined, and the node's operation), which
// matters at the maximum depth in unoptimised sanitizer builds.
[[gnu::always_inline]] inline Eval eval_node(const Expr& expr, const Inputs& in) {
  using K = types::ExprKind;
  switch (expr.kind()) {
    case K::Literal:
      return Operand::borrow(std::get<types::Literal>(expr.node).data);
    case K::IntentField:
      return field(in.intent, std::get<types::IntentField>(expr.node).name, "intent");
    case K::EvidenceField:
      return field(in.evidence, std::get<types::EvidenceField>(expr.node).name, "evidence");
    case K::Add:
      return int_binop(*expr.binary(), in, add_op, "+");
    case K::Sub:
      return int_binop(*expr.binary(), in, sub_op, "-");
    case K::Mul:
      return int_binop(*expr.binary(), in, mul_op, "*");
    case K::Eq:
      return equality(*expr.binary(), in);
    case K::Lt:
      return order_cmp(*expr.binary(), in, less);
    case K::Le:
      return order_cmp(*expr.binary(), in, less_equal);
    case K::Gt:
      return order_cmp(*expr.binary(), in, greater);
    case K::Ge:
      return order_cmp(*expr.binary(), in, greater_equal);
    case K::In:
      return membership(*expr.binary(), in);
    case K::SubsetOf:
      return set_relation(*expr.binary(), in, false);
    case K::SupersetOf:
      return set_relation(*expr.binary(), in, true);
    case K::Not:
      return not_op(std::get<types::Not>(expr.node), in);
    case K::And:
      return connective(std::get<types::And>(expr.node).operands, in, true);
    case K::Or:
      return connective(std::get<types::Or>(expr.node).operands, in, false);
  }
  return boolean(false);  // unreachable: every kind is handled above
}

[[gnu::noinline]] void observe(Trace& trace, const Expr& expr, const Eval& result) {
  if (result) {
    trace.value(expr, result->get());
  } else {
    trace.error(expr, result.error());
  }
}

[[gnu::noinline]] Eval traced(const Expr& expr, const Inputs& in) {
  Eval result = eval_node(expr, in);
  observe(*in.trace, expr, result);
  return result;
}

// Every node is evaluated through here, so a trace sees each result once.
// Without a trace the node's operation is the tail of this call, as if
// tracing did not exist.
Eval eval(const Expr& expr, const Inputs& in) {
  if (in.trace) return traced(expr, in);
  return eval_node(expr, in);
}

// The first problem of the four validation passes, if any.
std::optional<std::string> validate_inputs(const types::PolicyTemplate& tmpl,
                                           const ValueMap& intent, const ValueMap& evidence) {
  const auto mismatch = [](const char* side, const std::string& name, const Value& value,
                           Type declared) {
    return std::string(side) + " field `" + name + "` has type `" +
           std::string(types::type_text(value.type())) + "`, expected `" +
           std::string(types::type_text(declared)) + "`";
  };
  const auto& intent_fields = tmpl.intent_schema.fields;
  for (const auto& [name, value] : intent) {
    const auto declared = intent_fields.find(name);
    if (declared == intent_fields.end()) return "intent has unexpected field `" + name + "`";
    if (value.type() != declared->second.type) {
      return mismatch("intent", name, value, declared->second.type);
    }
  }
  for (const auto& [name, shape] : intent_fields) {
    if (!shape.optional && !intent.contains(name)) {
      return "intent is missing required field `" + name + "`";
    }
  }
  const auto& evidence_fields = tmpl.evidence_schema.fields;
  for (const auto& [name, value] : evidence) {
    const auto declared = evidence_fields.find(name);
    if (declared == evidence_fields.end()) return "evidence has unexpected field `" + name + "`";
    if (value.type() != declared->second.type) {
      return mismatch("evidence", name, value, declared->second.type);
    }
  }
  for (const auto& [name, shape] : evidence_fields) {
    if (!evidence.contains(name)) return "evidence is missing required field `" + name + "`";
  }
  return std::nullopt;
}

// Whether `expr` reads an intent field that the schema declares optional and
// the intent values lack: the condition for skipping an optional constraint,
// the same as collecting those fields and finding one absent, without
// building the set.
bool lacks_optional_field(const types::PolicyTemplate& tmpl, const Expr& expr,
                          const ValueMap& intent) {
  switch (expr.kind()) {
    case types::ExprKind::Literal:
    case types::ExprKind::EvidenceField:
      return false;
    case types::ExprKind::IntentField: {
      const std::string& name = std::get<types::IntentField>(expr.node).name;
      const auto& fields = tmpl.intent_schema.fields;
      const auto it = fields.find(name);
      return it != fields.end() && it->second.optional && !intent.contains(name);
    }
    case types::ExprKind::Not:
      return lacks_optional_field(tmpl, *std::get<types::Not>(expr.node).operand, intent);
    case types::ExprKind::And:
    case types::ExprKind::Or: {
      const auto& operands = expr.kind() == types::ExprKind::And
                                 ? std::get<types::And>(expr.node).operands
                                 : std::get<types::Or>(expr.node).operands;
      for (const Expr& operand : operands) {
        if (lacks_optional_field(tmpl, operand, intent)) return true;
      }
      return false;
    }
    default: {
      const types::Binary& b = *expr.binary();
      return lacks_optional_field(tmpl, *b.left, intent) ||
             lacks_optional_field(tmpl, *b.right, intent);
    }
  }
}

// The outcome of one constraint. Only failed and errored outcomes are
// carried into the decision, so only they get the canonical text: building
// it for every constraint was most of the cost of a passing evaluation.
ConstraintOutcome decide_constraint(const types::PolicyTemplate& tmpl, std::size_t index,
                                    const types::Constraint& constraint, const Inputs& in) {
  ConstraintOutcome outcome;
  outcome.index = index;
  if (constraint.optional && lacks_optional_field(tmpl, constraint.expr, in.intent)) {
    return outcome;  // skipped: passes
  }
  auto value = eval(constraint.expr, in);
  if (!value) {
    outcome.kind = ConstraintOutcome::Kind::Errored;
    outcome.reason = std::move(value).error();
  } else if (const auto* b = std::get_if<bool>(&value->get())) {
    if (*b) return outcome;
    outcome.kind = ConstraintOutcome::Kind::Failed;
    outcome.reason = "constraint evaluated to False";
  } else {
    outcome.kind = ConstraintOutcome::Kind::Errored;
    outcome.reason = "internal: constraint did not return bool, got " + type_name(value->get());
  }
  outcome.expression = canonical::pretty_expr(constraint.expr);
  return outcome;
}

}  // namespace

Result<Value, std::string> eval_expr(const Expr& expr, const ValueMap& intent,
                                     const ValueMap& evidence, Trace* trace) {
  auto result = eval(expr, Inputs{intent, evidence, trace});
  if (!result) return make_err(std::move(result).error());
  return Value{result->get()};
}

void collect_optional_refs(const types::PolicyTemplate& tmpl, const Expr& expr,
                           std::set<std::string>& names) {
  std::visit(
      [&](const auto& node) {
        using N = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<N, types::IntentField>) {
          const auto& fields = tmpl.intent_schema.fields;
          const auto it = fields.find(node.name);
          if (it != fields.end() && it->second.optional) names.insert(node.name);
        } else if constexpr (std::is_base_of_v<types::Binary, N>) {
          collect_optional_refs(tmpl, *node.left, names);
          collect_optional_refs(tmpl, *node.right, names);
        } else if constexpr (std::is_same_v<N, types::Not>) {
          collect_optional_refs(tmpl, *node.operand, names);
        } else if constexpr (std::is_same_v<N, types::And> || std::is_same_v<N, types::Or>) {
          for (const Expr& operand : node.operands) collect_optional_refs(tmpl, operand, names);
        }
        // Literals and evidence fields name no intent field.
      },
      expr.node);
}

Evaluation evaluate(const types::PolicyTemplate& tmpl, const ValueMap& intent,
                    const ValueMap& evidence) {
  if (auto problem = validate_inputs(tmpl, intent, evidence)) {
    return InputValidationFailure{std::move(*problem)};
  }
  const Inputs in{intent, evidence};
  Decision decision;
  for (std::size_t index = 0; index < tmpl.constraints.size(); ++index) {
    ConstraintOutcome outcome = decide_constraint(tmpl, index, tmpl.constraints[index], in);
    // Passed outcomes carry nothing the report shows.
    if (outcome.kind != ConstraintOutcome::Kind::Passed) {
      decision.outcomes.push_back(std::move(outcome));
    }
  }
  decision.kind = decision.outcomes.empty() ? Decision::Kind::Pass : Decision::Kind::Fail;
  return decision;
}

}  // namespace verdane::evaluator
