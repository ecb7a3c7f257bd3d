#include "evaluator/evaluate.h"

#include <gtest/gtest.h>

#include <chrono>

#include "common/builders.h"

namespace verdane::evaluator {
namespace {

using namespace test;
using errors::ConstraintOutcome;
using test::And;
using test::Not;
using test::Or;
using types::DateLit;
using types::Type;
using types::Value;
using types::ValueMap;

constexpr std::int64_t kMax = INT64_MAX;
constexpr std::int64_t kMin = INT64_MIN;

// ---------------------------------------------------------------------------
// eval_expr

struct ExprCase {
  std::string name;
  ExprFn expr;
  std::optional<Value> value;  // nullopt: expect `error`
  std::string error;
};

ExprCase yields(std::string name, ExprFn expr, types::Scalar value) {
  return {std::move(name), std::move(expr), Value{std::move(value)}, ""};
}
ExprCase fails(std::string name, ExprFn expr, std::string error) {
  return {std::move(name), std::move(expr), std::nullopt, std::move(error)};
}

const ValueMap& intent_values() {
  static const ValueMap values{{"amount", VInt(5)},
                               {"start", V(DateLit{2024, 1, 31})},
                               {"tags", V(types::StringSet{"a", "b"})}};
  return values;
}
const ValueMap& evidence_values() {
  static const ValueMap values{{"limit", VInt(3)}, {"ok", V(true)}};
  return values;
}

class EvalExprTest : public testing::TestWithParam<ExprCase> {};

TEST_P(EvalExprTest, EvaluatesOrRaisesTheFirstError) {
  const ExprCase& c = GetParam();
  auto result = eval_expr(c.expr(), intent_values(), evidence_values());
  if (c.value) {
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(*result, *c.value);
  } else {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.error);
  }
}

Expr overflow() { return B<types::Add>(Int(kMax), Int(1)); }
const std::string kOverflow = "integer overflow in `9223372036854775807 + 1`";

using namespace types;  // node types: Add, Eq, Lt, ...

INSTANTIATE_TEST_SUITE_P(
    Fields, EvalExprTest,
    testing::Values(yields(
                        "literal", [] { return Str("x"); }, std::string("x")),
                    yields(
                        "intent_field", [] { return I("amount"); }, std::int64_t{5}),
                    yields(
                        "evidence_field", [] { return E("ok"); }, true),
                    fails(
                        "absent_intent", [] { return I("nope"); }, "intent field `nope` is absent"),
                    fails(
                        "absent_evidence", [] { return E("amount"); },
                        "evidence field `amount` is absent"),
                    fails(
                        "left_error_first", [] { return B<Add>(E("x"), I("y")); },
                        "evidence field `x` is absent")),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, EvalExprTest,
    testing::Values(yields(
                        "add", [] { return B<Add>(I("amount"), E("limit")); }, std::int64_t{8}),
                    yields(
                        "sub", [] { return B<Sub>(I("amount"), E("limit")); }, std::int64_t{2}),
                    yields(
                        "mul", [] { return B<Mul>(Int(-4), E("limit")); }, std::int64_t{-12}),
                    yields(
                        "max_plus_zero", [] { return B<Add>(Int(kMax), Int(0)); }, kMax),
                    fails(
                        "add_overflow", [] { return overflow(); }, kOverflow),
                    fails(
                        "sub_overflow", [] { return B<Sub>(Int(kMin), Int(1)); },
                        "integer overflow in `-9223372036854775808 - 1`"),
                    fails(
                        "mul_overflow", [] { return B<Mul>(Int(std::int64_t{1} << 62), Int(2)); },
                        "integer overflow in `4611686018427387904 * 2`"),
                    fails(
                        "mul_min_by_minus_one", [] { return B<Mul>(Int(kMin), Int(-1)); },
                        "integer overflow in `-9223372036854775808 * -1`"),
                    fails(
                        "add_non_int", [] { return B<Add>(Str("x"), Int(1)); },
                        "internal: `+` on non-int operands `string`, `int`"),
                    fails(
                        "sub_non_int", [] { return B<Sub>(Int(1), Ints({})); },
                        "internal: `-` on non-int operands `int`, `set<int>`"),
                    fails(
                        "mul_non_int", [] { return B<Mul>(Bool(true), Date(2024, 1, 1)); },
                        "internal: `*` on non-int operands `bool`, `date`"),
                    // Both operands are evaluated before their types are looked at.
                    fails(
                        "types_checked_after_operands", [] { return B<Add>(Str("x"), overflow()); },
                        kOverflow)),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Comparisons, EvalExprTest,
    testing::Values(
        yields(
            "eq_ints", [] { return B<Eq>(I("amount"), Int(5)); }, true),
        yields(
            "eq_different_types", [] { return B<Eq>(Str("5"), Int(5)); }, false),
        yields(
            "eq_sets",
            [] {
              return B<Eq>(I("tags"), Strs({"b", "a"}));
            },
            true),
        yields(
            "eq_dates", [] { return B<Eq>(I("start"), Date(2024, 1, 30)); }, false),
        yields(
            "lt", [] { return B<Lt>(E("limit"), I("amount")); }, true),
        yields(
            "le_equal", [] { return B<Le>(Int(3), E("limit")); }, true),
        yields(
            "gt", [] { return B<Gt>(I("amount"), Int(5)); }, false),
        yields(
            "ge", [] { return B<Ge>(Int(kMin), Int(kMax)); }, false),
        yields(
            "date_month_before_day", [] { return B<Lt>(I("start"), Date(2024, 2, 1)); }, true),
        yields(
            "date_year_first", [] { return B<Lt>(Date(0, 12, 31), Date(1, 1, 1)); }, true),
        yields(
            "negative_year", [] { return B<Gt>(Date(0, 1, 1), Date(-1, 12, 31)); }, true),
        fails(
            "order_strings", [] { return B<Lt>(Str("a"), Str("b")); },
            "internal: ordering comparison of `string` and `string`"),
        fails(
            "order_sets", [] { return B<Ge>(Ints({1}), Ints({})); },
            "internal: ordering comparison of `set<int>` and `set<int>`"),
        fails(
            "order_int_date", [] { return B<Le>(Int(1), I("start")); },
            "internal: ordering comparison of `int` and `date`"),
        fails(
            "order_after_operands", [] { return B<Lt>(Str("a"), overflow()); }, kOverflow)),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Sets, EvalExprTest,
    testing::Values(yields(
                        "in_int",
                        [] {
                          return B<In>(I("amount"), Ints({1, 5}));
                        },
                        true),
                    yields(
                        "in_string", [] { return B<In>(Str("c"), I("tags")); }, false),
                    yields(
                        "in_date",
                        [] {
                          return B<In>(I("start"), Dates({{2024, 1, 31}}));
                        },
                        true),
                    fails(
                        "in_mismatch", [] { return B<In>(Int(1), Strs({})); },
                        "internal: `in` operand types `int` and `set<string>`"),
                    fails(
                        "in_set_of_sets", [] { return B<In>(Ints({}), Ints({})); },
                        "internal: `in` operand types `set<int>` and `set<int>`"),
                    yields(
                        "empty_subset", [] { return B<SubsetOf>(Strs({}), I("tags")); }, true),
                    yields(
                        "subset_false",
                        [] {
                          return B<SubsetOf>(Ints({1, 2}), Ints({1}));
                        },
                        false),
                    yields(
                        "subset_self", [] { return B<SubsetOf>(I("tags"), I("tags")); }, true),
                    yields(
                        "superset",
                        [] {
                          return B<SupersetOf>(Ints({1, 2, 3}), Ints({2}));
                        },
                        true),
                    yields(
                        "superset_false",
                        [] {
                          return B<SupersetOf>(Ints({2}), Ints({1, 2}));
                        },
                        false),
                    yields(
                        "superset_dates",
                        [] {
                          return B<SupersetOf>(Dates({{1, 1, 1}}), Dates({}));
                        },
                        true),
                    fails(
                        "subset_mismatch", [] { return B<SubsetOf>(Ints({}), I("tags")); },
                        "internal: `subset of` operand types `set<int>` and `set<string>`"),
                    fails(
                        "superset_scalars", [] { return B<SupersetOf>(Int(1), Int(1)); },
                        "internal: `superset of` operand types `int` and `int`")),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Logic, EvalExprTest,
    testing::Values(
        yields(
            "not", [] { return Not(E("ok")); }, false),
        fails(
            "not_non_bool", [] { return Not(Int(1)); },
            "internal: `not` applied to non-bool (type int)"),
        fails(
            "not_error", [] { return Not(overflow()); }, kOverflow),
        yields(
            "and_empty", [] { return Expr{types::And{}}; }, true),
        yields(
            "or_empty", [] { return Expr{types::Or{}}; }, false),
        yields(
            "and_false", [] { return And(Bool(true), Bool(false), Bool(true)); }, false),
        yields(
            "or_true", [] { return Or(Bool(false), Bool(false), Bool(true)); }, true),
        // No short-circuit: later operands run even when the result is known.
        fails(
            "and_false_then_overflow", [] { return And(Bool(false), overflow()); }, kOverflow),
        fails(
            "or_true_then_overflow", [] { return Or(Bool(true), overflow()); }, kOverflow),
        fails(
            "and_false_then_absent", [] { return And(Bool(false), I("nope")); },
            "intent field `nope` is absent"),
        // Each operand is checked right after it is evaluated.
        fails(
            "and_non_bool_before_overflow", [] { return And(Int(1), overflow()); },
            "internal: `and` operand is not bool (type int)"),
        fails(
            "and_non_bool_last", [] { return And(Bool(false), Int(1)); },
            "internal: `and` operand is not bool (type int)"),
        fails(
            "or_non_bool", [] { return Or(Bool(true), Str("x")); },
            "internal: `or` operand is not bool (type string)"),
        fails(
            "first_error_wins", [] { return Or(overflow(), I("nope")); }, kOverflow)),
    [](const auto& info) { return info.param.name; });

TEST(EvalExpr, DeepestAllowedTreeEvaluates) {
  Expr expr = Bool(true);
  for (std::size_t depth = 1; depth < types::MAX_EXPR_DEPTH; ++depth) expr = Not(std::move(expr));
  // 4095 negations of true.
  auto result = eval_expr(expr, {}, {});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, V(false));
}

// ---------------------------------------------------------------------------
// evaluate: input validation

types::PolicyTemplate schema_template() {
  types::PolicyTemplate t;
  t.name = "t";
  t.intent_schema.fields["amount"] = {Type::Int, false};
  t.intent_schema.fields["limit"] = {Type::Int, true};
  t.intent_schema.fields["zeta"] = {Type::String, false};
  t.evidence_schema.fields["ok"] = {Type::Bool};
  t.evidence_schema.fields["score"] = {Type::Int};
  return t;
}

struct ValidationCase {
  std::string name;
  ValueMap intent;
  ValueMap evidence;
  std::string error;  // empty: valid
};

class ValidationTest : public testing::TestWithParam<ValidationCase> {};

TEST_P(ValidationTest, FirstProblemOfTheFourPassesDecides) {
  const ValidationCase& c = GetParam();
  const Evaluation result = evaluate(schema_template(), c.intent, c.evidence);
  if (c.error.empty()) {
    ASSERT_TRUE(std::holds_alternative<Decision>(result));
    EXPECT_EQ(std::get<Decision>(result).kind, Decision::Kind::Pass);
  } else {
    ASSERT_TRUE(std::holds_alternative<InputValidationFailure>(result));
    EXPECT_EQ(std::get<InputValidationFailure>(result).message, c.error);
  }
}

const ValueMap kGoodIntent{{"amount", VInt(1)}, {"zeta", V(std::string("z"))}};
const ValueMap kGoodEvidence{{"ok", V(true)}, {"score", VInt(2)}};

ValueMap with(ValueMap m, const std::string& name, std::optional<Value> value) {
  if (value) {
    m.insert_or_assign(name, *value);
  } else {
    m.erase(name);
  }
  return m;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidationTest,
    testing::Values(
        ValidationCase{"valid", kGoodIntent, kGoodEvidence, ""},
        ValidationCase{"optional_present", with(kGoodIntent, "limit", VInt(3)), kGoodEvidence, ""},
        ValidationCase{"unexpected_intent", with(kGoodIntent, "extra", VInt(1)), kGoodEvidence,
                       "intent has unexpected field `extra`"},
        ValidationCase{"mistyped_intent", with(kGoodIntent, "amount", V(types::DateSet{})),
                       kGoodEvidence, "intent field `amount` has type `set<date>`, expected `int`"},
        ValidationCase{"mistyped_in_name_order",
                       with(with(kGoodIntent, "amount", V(false)), "b", VInt(1)), kGoodEvidence,
                       "intent field `amount` has type `bool`, expected `int`"},
        ValidationCase{"pass_one_before_pass_two",
                       with(with(kGoodIntent, "amount", std::nullopt), "zz", VInt(1)),
                       kGoodEvidence, "intent has unexpected field `zz`"},
        ValidationCase{"missing_required", with(kGoodIntent, "zeta", std::nullopt), kGoodEvidence,
                       "intent is missing required field `zeta`"},
        ValidationCase{"missing_in_name_order",
                       {},
                       kGoodEvidence,
                       "intent is missing required field `amount`"},
        ValidationCase{"intent_before_evidence", with(kGoodIntent, "amount", std::nullopt),
                       with(kGoodEvidence, "x", VInt(1)),
                       "intent is missing required field `amount`"},
        ValidationCase{"unexpected_evidence", kGoodIntent, with(kGoodEvidence, "a", VInt(1)),
                       "evidence has unexpected field `a`"},
        ValidationCase{"mistyped_evidence", kGoodIntent, with(kGoodEvidence, "ok", VInt(1)),
                       "evidence field `ok` has type `int`, expected `bool`"},
        ValidationCase{"pass_three_before_pass_four", kGoodIntent,
                       with(with(kGoodEvidence, "ok", std::nullopt), "zz", VInt(1)),
                       "evidence has unexpected field `zz`"},
        ValidationCase{"missing_evidence", kGoodIntent, with(kGoodEvidence, "score", std::nullopt),
                       "evidence is missing required field `score`"}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// evaluate: constraints and decision

types::PolicyTemplate with_constraints(std::vector<types::Constraint> constraints) {
  types::PolicyTemplate t;
  t.intent_schema.fields["amount"] = {Type::Int, false};
  t.intent_schema.fields["cap"] = {Type::Int, true};
  t.intent_schema.fields["limit"] = {Type::Int, true};
  t.evidence_schema.fields["limit"] = {Type::Int};
  t.constraints = std::move(constraints);
  return t;
}

template <typename... Cs>
std::vector<types::Constraint> constraints(Cs... cs) {
  std::vector<types::Constraint> v;
  (v.push_back(std::move(cs)), ...);
  return v;
}
types::Constraint required(Expr e) { return {false, std::move(e)}; }

Decision decide(const types::PolicyTemplate& t, const ValueMap& intent, const ValueMap& evidence) {
  Evaluation result = evaluate(t, intent, evidence);
  EXPECT_TRUE(std::holds_alternative<Decision>(result));
  if (!std::holds_alternative<Decision>(result)) return {};
  return std::get<Decision>(std::move(result));
}

const ValueMap kEvidence{{"limit", VInt(3)}};

TEST(Decide, NoConstraintsPass) {
  const Decision d = decide(with_constraints({}), {{"amount", VInt(1)}}, kEvidence);
  EXPECT_EQ(d.kind, Decision::Kind::Pass);
  EXPECT_TRUE(d.outcomes.empty());
}

TEST(Decide, CarriesFailedAndErroredOutcomesInOrder) {
  const auto t = with_constraints(constraints(
      required(B<Eq>(I("amount"), Int(0))), required(Bool(true)),
      required(B<Le>(I("amount"), E("limit"))), required(B<Mul>(I("amount"), Int(kMax))),
      required(Int(5)), required(Bool(true))));
  const Decision d = decide(t, {{"amount", VInt(5)}}, kEvidence);
  EXPECT_EQ(d.kind, Decision::Kind::Fail);
  ASSERT_EQ(d.outcomes.size(), 4u);
  const auto expect = [&](std::size_t i, ConstraintOutcome::Kind kind, std::size_t index,
                          const std::string& expression, const std::string& reason) {
    SCOPED_TRACE(i);
    EXPECT_EQ(d.outcomes[i].kind, kind);
    EXPECT_EQ(d.outcomes[i].index, index);
    EXPECT_EQ(d.outcomes[i].expression, expression);
    EXPECT_EQ(d.outcomes[i].reason, reason);
  };
  using K = ConstraintOutcome::Kind;
  expect(0, K::Failed, 0, "(intent.amount == 0)", "constraint evaluated to False");
  expect(1, K::Failed, 2, "(intent.amount <= evidence.limit)", "constraint evaluated to False");
  expect(2, K::Errored, 3, "(intent.amount * 9223372036854775807)",
         "integer overflow in `5 * 9223372036854775807`");
  expect(3, K::Errored, 4, "5", "internal: constraint did not return bool, got int");
}

struct OptionalCase {
  std::string name;
  bool optional_flag;
  ExprFn expr;
  ValueMap intent;
  std::optional<std::string> reason;  // nullopt: passes (or is skipped)
};

class OptionalTest : public testing::TestWithParam<OptionalCase> {};

TEST_P(OptionalTest, SkipsOnlyWhenAnOptionalFieldItUsesIsAbsent) {
  const OptionalCase& c = GetParam();
  const auto t = with_constraints(constraints(types::Constraint{c.optional_flag, c.expr()}));
  const Decision d = decide(t, c.intent, kEvidence);
  if (!c.reason) {
    EXPECT_EQ(d.kind, Decision::Kind::Pass);
  } else {
    ASSERT_EQ(d.outcomes.size(), 1u);
    EXPECT_EQ(d.outcomes[0].reason, *c.reason);
  }
}

Expr amount_le_limit() { return B<Le>(I("amount"), I("limit")); }
Expr uses_limit_and_cap() {
  return And(B<Le>(I("amount"), I("limit")), Not(B<Eq>(I("cap"), E("limit"))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionalTest,
    testing::Values(
        OptionalCase{"absent_skips", true, amount_le_limit, {{"amount", VInt(9)}}, std::nullopt},
        OptionalCase{"present_evaluates",
                     true,
                     amount_le_limit,
                     {{"amount", VInt(9)}, {"limit", VInt(3)}},
                     "constraint evaluated to False"},
        OptionalCase{"either_absent_skips",
                     true,
                     uses_limit_and_cap,
                     {{"amount", VInt(9)}, {"limit", VInt(3)}},
                     std::nullopt},
        OptionalCase{"both_present_evaluates",
                     true,
                     uses_limit_and_cap,
                     {{"amount", VInt(9)}, {"limit", VInt(3)}, {"cap", VInt(1)}},
                     "constraint evaluated to False"},
        // The flag alone decides whether fields are looked at before running.
        OptionalCase{"flag_off_runs_and_errs",
                     false,
                     amount_le_limit,
                     {{"amount", VInt(9)}},
                     "intent field `limit` is absent"},
        OptionalCase{"flag_on_without_optional_fields_runs",
                     true,
                     [] { return B<Le>(I("amount"), E("limit")); },
                     {{"amount", VInt(9)}},
                     "constraint evaluated to False"}),
    [](const auto& info) { return info.param.name; });

TEST(Decide, MillionElementSetsStayFast) {
  std::vector<std::int64_t> items(1'000'000);
  for (std::size_t i = 0; i < items.size(); ++i) items[i] = static_cast<std::int64_t>(i) * 3;
  types::PolicyTemplate t;
  t.intent_schema.fields["s"] = {Type::IntSet, false};
  t.evidence_schema.fields["s"] = {Type::IntSet};
  for (int i = 0; i < 50; ++i) {
    t.constraints.push_back(required(B<SubsetOf>(I("s"), E("s"))));
    t.constraints.push_back(required(B<In>(Int(2'999'997), I("s"))));
    t.constraints.push_back(required(B<Eq>(I("s"), E("s"))));
  }
  const ValueMap intent{{"s", V(types::IntSet(items))}};
  const ValueMap evidence{{"s", V(types::IntSet(std::move(items)))}};
  const auto start = std::chrono::steady_clock::now();
  const Decision d = decide(t, intent, evidence);
  // Wall-clock bounds belong to the benchmarks (sanitizer and shared CI
  // machines vary too much); this run guards against crashes only.
  (void)(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(d.kind, Decision::Kind::Pass);
}

}  // namespace
}  // namespace verdane::evaluator
