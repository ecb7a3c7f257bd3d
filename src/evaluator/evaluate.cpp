#include "evaluator/evaluate.h"

#include <algorithm>
#include <compare>
#include <cstdint>
#include <functional>
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

std::string type_name(Type type) { return std::string(types::type_text(type)); }

// What evaluating a node yields: a payload borrowed from an input value or a
// literal of the template (both outlive the evaluation), a boolean or an
// integer computed by the node (the only values nodes compute), or nothing
// once the node has stored its error text in the inputs' error. Borrowing
// keeps field references and literals from copying sets of any size; holding
// computed values outside a Scalar keeps an operand trivially copyable and
// small enough to be returned in registers through every level of the tree.
class Operand {
 public:
  static Operand failed() { return Operand(Failed{}); }
  static Operand borrow(const Scalar& data) { return Operand(&data); }
  static Operand boolean(bool b) { return Operand(b); }
  static Operand integer(std::int64_t i) { return Operand(i); }

  // Whether there is a value (no error); then -> and * reach it.
  explicit operator bool() const { return value_.index() != 0; }
  const Operand* operator->() const { return this; }
  const Operand& operator*() const { return *this; }

  Type type() const {
    switch (value_.index()) {
      case 1:
        return type_of(*std::get<1>(value_));
      case 2:
        return Type::Bool;
      default:
        return Type::Int;
    }
  }
  // Preconditions: type() is Bool, Int.
  bool as_bool() const {
    const auto* borrowed = std::get_if<1>(&value_);
    return borrowed ? std::get<bool>(**borrowed) : std::get<2>(value_);
  }
  std::int64_t as_int() const {
    const auto* borrowed = std::get_if<1>(&value_);
    return borrowed ? std::get<std::int64_t>(**borrowed) : std::get<3>(value_);
  }
  // The payload of any other type, which is always borrowed.
  const Scalar& payload() const { return *std::get<1>(value_); }

  // Values of different types are simply unequal.
  friend bool operator==(const Operand& a, const Operand& b) {
    const Type type = a.type();
    if (type != b.type()) return false;
    if (type == Type::Bool) return a.as_bool() == b.as_bool();
    if (type == Type::Int) return a.as_int() == b.as_int();
    return a.payload() == b.payload();
  }

 private:
  struct Failed {};
  template <typename T>
  explicit Operand(T value) : value_(value) {}
  std::variant<Failed, const Scalar*, bool, std::int64_t> value_;
};

static_assert(std::is_trivially_copyable_v<Operand> && sizeof(Operand) <= 16);

using Eval = Operand;

Eval boolean(bool b) { return Operand::boolean(b); }

struct Inputs {
  Slots intent;
  Slots evidence;
  std::span<const Plan::FieldRef> refs;  // of the constraint being evaluated
  std::string* error;                    // receives the text of the first error

  Eval fail(std::string text) const {
    *error = std::move(text);
    return Operand::failed();
  }
};

Eval eval(const Expr& expr, const Inputs& in);

[[gnu::noinline]] Eval absent_error(const Inputs& in, const char* side, const std::string& name) {
  return in.fail(std::string(side) + " field `" + name + "` is absent");
}

// The value of the field that `node` reads, through the slot the plan gives
// it.
Eval field(const Expr& node, const std::string& name, Slots values, const Inputs& in,
           const char* side) {
  // A constraint reads a handful of fields as a rule: a scan beats a search.
  const auto ref = in.refs.size() <= 8
                       ? std::find_if(in.refs.begin(), in.refs.end(),
                                      [&](const Plan::FieldRef& r) { return r.node == &node; })
                       : std::lower_bound(in.refs.begin(), in.refs.end(), &node,
                                          [](const Plan::FieldRef& r, const Expr* n) {
                                            return std::less<const Expr*>()(r.node, n);
                                          });
  if (ref == in.refs.end() || ref->node != &node || ref->slot >= values.size() ||
      values[ref->slot] == nullptr) {
    return absent_error(in, side, name);
  }
  return Operand::borrow(values[ref->slot]->data);
}

// Error texts are built out of line so that their temporaries do not enlarge
// the frames of the recursive evaluation.
[[gnu::noinline]] Eval int_type_error(const Inputs& in, std::string_view op_text, Type l, Type r) {
  return in.fail("internal: `" + std::string(op_text) + "` on non-int operands `" + type_name(l) +
                 "`, `" + type_name(r) + "`");
}

[[gnu::noinline]] Eval overflow_error(const Inputs& in, std::int64_t l, std::string_view op_text,
                                      std::int64_t r) {
  return in.fail("integer overflow in `" + std::to_string(l) + " " + std::string(op_text) + " " +
                 std::to_string(r) + "`");
}

[[gnu::noinline]] Eval pair_error(const Inputs& in, const char* what, Type l, Type r) {
  return in.fail(std::string(what) + type_name(l) + "` and `" + type_name(r) + "`");
}

[[gnu::noinline]] Eval connective_error(const Inputs& in, bool is_and, Type operand) {
  return in.fail(std::string("internal: `") + (is_and ? "and" : "or") +
                 "` operand is not bool (type " + type_name(operand) + ")");
}

[[gnu::noinline]] Eval not_error(const Inputs& in, Type operand) {
  return in.fail("internal: `not` applied to non-bool (type " + type_name(operand) + ")");
}

using IntOp = bool (*)(std::int64_t, std::int64_t, std::int64_t*);

// Add, Sub and Mul: both operands first, then their types, then the checked
// operation.
Eval int_binop(const types::Binary& node, const Inputs& in, IntOp op, std::string_view op_text) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  if (left->type() != Type::Int || right->type() != Type::Int) {
    return int_type_error(in, op_text, left->type(), right->type());
  }
  const std::int64_t l = left->as_int();
  const std::int64_t r = right->as_int();
  std::int64_t result = 0;
  if (op(l, r, &result)) return overflow_error(in, l, op_text, r);
  return Operand::integer(result);
}

using OrderPredicate = bool (*)(std::strong_ordering);

// Lt, Le, Gt and Ge: only integers and dates are ordered.
Eval order_cmp(const types::Binary& node, const Inputs& in, OrderPredicate holds) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  const Type l = left->type();
  const Type r = right->type();
  if (l == Type::Int && r == Type::Int) return boolean(holds(left->as_int() <=> right->as_int()));
  if (l == Type::Date && r == Type::Date) {
    return boolean(holds(std::get<types::DateLit>(left->payload()) <=>
                         std::get<types::DateLit>(right->payload())));
  }
  return pair_error(in, "internal: ordering comparison of `", l, r);
}

Eval membership(const types::Binary& node, const Inputs& in) {
  auto element = eval(*node.left, in);
  if (!element) return element;
  auto set = eval(*node.right, in);
  if (!set) return set;
  const Type e = element->type();
  const Type s = set->type();
  if (e == Type::Int && s == Type::IntSet) {
    return boolean(std::get<types::IntSet>(set->payload()).contains(element->as_int()));
  }
  if (e == Type::String && s == Type::StringSet) {
    return boolean(std::get<types::StringSet>(set->payload())
                       .contains(std::get<std::string>(element->payload())));
  }
  if (e == Type::Date && s == Type::DateSet) {
    return boolean(std::get<types::DateSet>(set->payload())
                       .contains(std::get<types::DateLit>(element->payload())));
  }
  return pair_error(in, "internal: `in` operand types `", e, s);
}

// Whether every element of `sub` is in `super`, for two sets of one kind;
// nullopt for any other pair of payloads.
std::optional<bool> subset(const Operand& sub, const Operand& super) {
  if (sub.type() != super.type() || !types::is_set_type(sub.type())) return std::nullopt;
  return std::visit(
      [&](const auto& a) -> std::optional<bool> {
        using A = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<A, types::IntSet> || std::is_same_v<A, types::StringSet> ||
                      std::is_same_v<A, types::DateSet>) {
          return a.is_subset_of(std::get<A>(super.payload()));
        }
        return std::nullopt;
      },
      sub.payload());
}

// SubsetOf (`superset` false) and SupersetOf (`superset` true).
Eval set_relation(const types::Binary& node, const Inputs& in, bool superset) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  const auto holds = superset ? subset(*right, *left) : subset(*left, *right);
  if (!holds) {
    return pair_error(in,
                      superset ? "internal: `superset of` operand types `"
                               : "internal: `subset of` operand types `",
                      left->type(), right->type());
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
    if (value->type() != Type::Bool) return connective_error(in, is_and, value->type());
    const bool b = value->as_bool();
    result = is_and ? (result && b) : (result || b);
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
  if (operand->type() != Type::Bool) return not_error(in, operand->type());
  return boolean(!operand->as_bool());
}

Eval equality(const types::Binary& node, const Inputs& in) {
  auto left = eval(*node.left, in);
  if (!left) return left;
  auto right = eval(*node.right, in);
  if (!right) return right;
  return boolean(*left == *right);
}

bool less(std::strong_ordering o) { return o < 0; }
bool less_equal(std::strong_ordering o) { return o <= 0; }
bool greater(std::strong_ordering o) { return o > 0; }
bool greater_equal(std::strong_ordering o) { return o >= 0; }

// The operands of a node of kind N, known from the switch below.
template <typename N>
const types::Binary& operands(const Expr& expr) {
  return *std::get_if<N>(&expr.node);
}

// One plain switch per node keeps the recursion to two small frames per tree
// level, which matters at the maximum depth in unoptimised sanitizer builds.
Eval eval(const Expr& expr, const Inputs& in) {
  using K = types::ExprKind;
  switch (expr.kind()) {
    case K::Literal:
      return Operand::borrow(std::get<types::Literal>(expr.node).data);
    case K::IntentField:
      return field(expr, std::get<types::IntentField>(expr.node).name, in.intent, in, "intent");
    case K::EvidenceField:
      return field(expr, std::get<types::EvidenceField>(expr.node).name, in.evidence, in,
                   "evidence");
    case K::Add:
      return int_binop(operands<types::Add>(expr), in, add_op, "+");
    case K::Sub:
      return int_binop(operands<types::Sub>(expr), in, sub_op, "-");
    case K::Mul:
      return int_binop(operands<types::Mul>(expr), in, mul_op, "*");
    case K::Eq:
      return equality(operands<types::Eq>(expr), in);
    case K::Lt:
      return order_cmp(operands<types::Lt>(expr), in, less);
    case K::Le:
      return order_cmp(operands<types::Le>(expr), in, less_equal);
    case K::Gt:
      return order_cmp(operands<types::Gt>(expr), in, greater);
    case K::Ge:
      return order_cmp(operands<types::Ge>(expr), in, greater_equal);
    case K::In:
      return membership(operands<types::In>(expr), in);
    case K::SubsetOf:
      return set_relation(operands<types::SubsetOf>(expr), in, false);
    case K::SupersetOf:
      return set_relation(operands<types::SupersetOf>(expr), in, true);
    case K::Not:
      return not_op(std::get<types::Not>(expr.node), in);
    case K::And:
      return connective(std::get<types::And>(expr.node).operands, in, true);
    case K::Or:
      return connective(std::get<types::Or>(expr.node).operands, in, false);
  }
  return boolean(false);  // unreachable: every kind is handled above
}

std::string mismatch(const char* side, const std::string& name, const Value& value, Type declared) {
  return std::string(side) + " field `" + name + "` has type `" +
         std::string(types::type_text(value.type())) + "`, expected `" +
         std::string(types::type_text(declared)) + "`";
}

// The first problem of the four validation passes, if any.
std::optional<std::string> validate_inputs(const types::PolicyTemplate& tmpl,
                                           const ValueMap& intent, const ValueMap& evidence) {
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

// The name of the field in slot `slot` of `fields`, for an error text.
template <typename Fields>
const std::string& name_at(const Fields& fields, std::size_t slot) {
  return std::next(fields.begin(), static_cast<std::ptrdiff_t>(slot))->first;
}

// The validation passes over inputs by slot: slots hold declared fields only,
// so only types and presence are left to check, in the passes' order.
std::optional<std::string> validate_slots(const types::PolicyTemplate& tmpl, const Plan& plan,
                                          Slots intent, Slots evidence) {
  const auto& intent_fields = tmpl.intent_schema.fields;
  const auto& evidence_fields = tmpl.evidence_schema.fields;
  const Plan::Side& is = plan.intent();
  const Plan::Side& es = plan.evidence();
  if (intent.size() != is.types.size() || evidence.size() != es.types.size()) {
    return "internal: inputs do not match the template's schemas";
  }
  for (std::size_t slot = 0; slot < intent.size(); ++slot) {
    if (intent[slot] && intent[slot]->type() != is.types[slot]) {
      return mismatch("intent", name_at(intent_fields, slot), *intent[slot], is.types[slot]);
    }
  }
  for (std::size_t slot = 0; slot < intent.size(); ++slot) {
    if (is.required[slot] && !intent[slot]) {
      return "intent is missing required field `" + name_at(intent_fields, slot) + "`";
    }
  }
  for (std::size_t slot = 0; slot < evidence.size(); ++slot) {
    if (evidence[slot] && evidence[slot]->type() != es.types[slot]) {
      return mismatch("evidence", name_at(evidence_fields, slot), *evidence[slot], es.types[slot]);
    }
  }
  for (std::size_t slot = 0; slot < evidence.size(); ++slot) {
    if (!evidence[slot]) {
      return "evidence is missing required field `" + name_at(evidence_fields, slot) + "`";
    }
  }
  return std::nullopt;
}

// The outcome of one constraint that does not pass (nullopt when it passes
// or is skipped). Only such outcomes are carried into the decision, so only
// they get the canonical text: building it for every constraint was most of
// the cost of a passing evaluation.
std::optional<ConstraintOutcome> decide_constraint(std::size_t index,
                                                   const types::Constraint& constraint,
                                                   const Plan& plan, Slots intent, Slots evidence) {
  if (constraint.optional) {
    for (const std::size_t slot : plan.optional_slots(index)) {
      if (!intent[slot]) return std::nullopt;  // skipped: passes
    }
  }
  std::string error;
  const auto value = eval(constraint.expr, Inputs{intent, evidence, plan.refs(index), &error});
  if (value && value->type() == Type::Bool && value->as_bool()) return std::nullopt;
  ConstraintOutcome outcome;
  outcome.index = index;
  if (!value) {
    outcome.kind = ConstraintOutcome::Kind::Errored;
    outcome.reason = std::move(error);
  } else if (value->type() == Type::Bool) {
    outcome.kind = ConstraintOutcome::Kind::Failed;
    outcome.reason = "constraint evaluated to False";
  } else {
    outcome.kind = ConstraintOutcome::Kind::Errored;
    outcome.reason = "internal: constraint did not return bool, got " + type_name(value->type());
  }
  outcome.expression = canonical::pretty_expr(constraint.expr);
  return outcome;
}

std::size_t slot_of(std::span<const std::string_view> names, std::string_view name) {
  const auto it = std::lower_bound(names.begin(), names.end(), name);
  if (it == names.end() || *it != name) return Plan::kNoSlot;
  return static_cast<std::size_t>(it - names.begin());
}

template <typename Fields>
std::vector<std::string_view> names_of(const Fields& fields) {
  std::vector<std::string_view> names;
  names.reserve(fields.size());
  for (const auto& entry : fields) names.push_back(entry.first);
  return names;
}

// Pointers to the values of `values` by slot of `fields`.
template <typename Fields>
std::vector<const Value*> slots_of(const Fields& fields, const ValueMap& values) {
  std::vector<const Value*> slots;
  slots.reserve(fields.size());
  for (const auto& entry : fields) {
    const auto it = values.find(entry.first);
    slots.push_back(it == values.end() ? nullptr : &it->second);
  }
  return slots;
}

}  // namespace

Result<Value, std::string> eval_expr(const Expr& expr, const ValueMap& intent,
                                     const ValueMap& evidence) {
  const std::vector<std::string_view> intent_names = names_of(intent);
  const std::vector<std::string_view> evidence_names = names_of(evidence);
  const Plan plan = Plan::for_expr(expr, intent_names, evidence_names);
  const std::vector<const Value*> intent_slots = slots_of(intent, intent);
  const std::vector<const Value*> evidence_slots = slots_of(evidence, evidence);
  std::string error;
  const auto result = eval(expr, Inputs{intent_slots, evidence_slots, plan.refs(0), &error});
  if (!result) return make_err(std::move(error));
  switch (result->type()) {
    case Type::Bool:
      return Value{result->as_bool()};
    case Type::Int:
      return Value{result->as_int()};
    default:
      return Value{result->payload()};
  }
}

Plan::Plan(const types::PolicyTemplate& tmpl) {
  const std::vector<std::string_view> intent_names = names_of(tmpl.intent_schema.fields);
  const std::vector<std::string_view> evidence_names = names_of(tmpl.evidence_schema.fields);
  std::vector<bool> optional;
  for (const auto& [name, shape] : tmpl.intent_schema.fields) {
    optional.push_back(shape.optional);
    intent_.types.push_back(shape.type);
    intent_.required.push_back(!shape.optional);
  }
  for (const auto& [name, shape] : tmpl.evidence_schema.fields) {
    evidence_.types.push_back(shape.type);
    evidence_.required.push_back(true);
  }
  constraints_.reserve(tmpl.constraints.size());
  for (const types::Constraint& c : tmpl.constraints) {
    add(c.expr, intent_names, evidence_names, c.optional ? &optional : nullptr);
  }
}

Plan Plan::for_expr(const Expr& expr, std::span<const std::string_view> intent_names,
                    std::span<const std::string_view> evidence_names) {
  Plan plan;
  plan.add(expr, intent_names, evidence_names, nullptr);
  return plan;
}

void Plan::add(const Expr& root, std::span<const std::string_view> intent_names,
               std::span<const std::string_view> evidence_names,
               const std::vector<bool>* optional) {
  Ranges ranges{refs_.size(), 0, optional_slots_.size(), 0};
  // An explicit stack: trees may be as deep as MAX_EXPR_DEPTH.
  std::vector<const Expr*> pending{&root};
  while (!pending.empty()) {
    const Expr* expr = pending.back();
    pending.pop_back();
    switch (expr->kind()) {
      case types::ExprKind::Literal:
        break;
      case types::ExprKind::IntentField: {
        const std::size_t slot =
            slot_of(intent_names, std::get<types::IntentField>(expr->node).name);
        refs_.push_back({expr, slot});
        if (optional && slot != kNoSlot && (*optional)[slot]) optional_slots_.push_back(slot);
        break;
      }
      case types::ExprKind::EvidenceField:
        refs_.push_back(
            {expr, slot_of(evidence_names, std::get<types::EvidenceField>(expr->node).name)});
        break;
      case types::ExprKind::Not:
        pending.push_back(std::get<types::Not>(expr->node).operand.get());
        break;
      case types::ExprKind::And:
        for (const Expr& e : std::get<types::And>(expr->node).operands) pending.push_back(&e);
        break;
      case types::ExprKind::Or:
        for (const Expr& e : std::get<types::Or>(expr->node).operands) pending.push_back(&e);
        break;
      default:
        pending.push_back(expr->binary()->left.get());
        pending.push_back(expr->binary()->right.get());
        break;
    }
  }
  ranges.refs_end = refs_.size();
  ranges.optional_end = optional_slots_.size();
  std::sort(refs_.begin() + static_cast<std::ptrdiff_t>(ranges.refs_begin), refs_.end(),
            [](const FieldRef& a, const FieldRef& b) {
              return std::less<const Expr*>()(a.node, b.node);
            });
  constraints_.push_back(ranges);
}

std::span<const Plan::FieldRef> Plan::refs(std::size_t index) const {
  const Ranges& r = constraints_[index];
  return std::span<const FieldRef>(refs_).subspan(r.refs_begin, r.refs_end - r.refs_begin);
}

std::span<const std::size_t> Plan::optional_slots(std::size_t index) const {
  const Ranges& r = constraints_[index];
  return std::span<const std::size_t>(optional_slots_)
      .subspan(r.optional_begin, r.optional_end - r.optional_begin);
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
  // Maps may hold any names, so the passes run on them by name first.
  if (auto problem = validate_inputs(tmpl, intent, evidence)) {
    return InputValidationFailure{std::move(*problem)};
  }
  const Plan plan(tmpl);
  const std::vector<const Value*> intent_slots = slots_of(tmpl.intent_schema.fields, intent);
  const std::vector<const Value*> evidence_slots = slots_of(tmpl.evidence_schema.fields, evidence);
  return evaluate(tmpl, plan, intent_slots, evidence_slots);
}

Evaluation evaluate(const types::PolicyTemplate& tmpl, const Plan& plan, Slots intent,
                    Slots evidence) {
  if (auto problem = validate_slots(tmpl, plan, intent, evidence)) {
    return InputValidationFailure{std::move(*problem)};
  }
  Decision decision;
  for (std::size_t index = 0; index < tmpl.constraints.size(); ++index) {
    // Passed outcomes carry nothing the report shows.
    if (auto outcome = decide_constraint(index, tmpl.constraints[index], plan, intent, evidence)) {
      decision.outcomes.push_back(std::move(*outcome));
    }
  }
  decision.kind = decision.outcomes.empty() ? Decision::Kind::Pass : Decision::Kind::Fail;
  return decision;
}

}  // namespace verdane::evaluator
