#include "readable/readable_print.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "common/builders.h"

namespace verdane::readable {
namespace {

using namespace test;
using types::Type;

const auto kName = [](const auto& info) { return info.param.name; };

struct RenderCase {
  std::string name;
  ExprFn build;
  std::string expected;
  friend void PrintTo(const RenderCase& c, std::ostream* os) { *os << c.name; }
};

class RenderTest : public testing::TestWithParam<RenderCase> {};

TEST_P(RenderTest, TopLevelText) {
  EXPECT_EQ(render(GetParam().build(), Context::top_level()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, RenderTest,
    testing::Values(
        RenderCase{"sub_negative", [] { return B<types::Sub>(Int(5), Int(-5)); }, "5 - -5"},
        RenderCase{"sub_right_nested",
                   [] { return B<types::Sub>(I("a"), B<types::Sub>(I("b"), I("c"))); },
                   "intent.a - (intent.b - intent.c)"},
        RenderCase{"sub_left_nested",
                   [] { return B<types::Sub>(B<types::Sub>(I("a"), I("b")), I("c")); },
                   "intent.a - intent.b - intent.c"},
        RenderCase{"add_right_nested",
                   [] { return B<types::Add>(I("a"), B<types::Add>(I("b"), I("c"))); },
                   "intent.a + (intent.b + intent.c)"},
        RenderCase{"sub_then_add",
                   [] { return B<types::Add>(B<types::Sub>(I("a"), I("b")), I("c")); },
                   "intent.a - intent.b + intent.c"},
        RenderCase{"mul_over_add_left",
                   [] { return B<types::Mul>(B<types::Add>(I("a"), I("b")), I("c")); },
                   "(intent.a + intent.b) * intent.c"},
        RenderCase{"mul_over_add_right",
                   [] { return B<types::Mul>(I("a"), B<types::Add>(I("b"), I("c"))); },
                   "intent.a * (intent.b + intent.c)"},
        RenderCase{"add_over_mul",
                   [] { return B<types::Add>(I("a"), B<types::Mul>(I("b"), I("c"))); },
                   "intent.a + intent.b * intent.c"},
        RenderCase{"mul_right_nested",
                   [] { return B<types::Mul>(I("a"), B<types::Mul>(I("b"), I("c"))); },
                   "intent.a * (intent.b * intent.c)"},
        RenderCase{"mul_negative_right", [] { return B<types::Mul>(I("a"), Int(-2)); },
                   "intent.a * -2"},
        RenderCase{"add_over_not_left", [] { return B<types::Add>(Not(I("a")), Int(1)); },
                   "(not intent.a) + 1"},
        RenderCase{"mul_over_not_right", [] { return B<types::Mul>(I("a"), Not(I("b"))); },
                   "intent.a * (not intent.b)"},
        RenderCase{"add_over_relation",
                   [] { return B<types::Add>(I("a"), B<types::Eq>(I("b"), I("c"))); },
                   "intent.a + (intent.b == intent.c)"}),
    kName);

INSTANTIATE_TEST_SUITE_P(
    Relations, RenderTest,
    testing::Values(
        RenderCase{"each_operator",
                   [] {
                     return And(B<types::Eq>(I("a"), Int(1)), B<types::Lt>(I("a"), Int(1)),
                                B<types::Le>(I("a"), Int(1)), B<types::Gt>(I("a"), Int(1)),
                                B<types::Ge>(I("a"), Int(1)), B<types::In>(I("a"), E("s")),
                                B<types::SubsetOf>(I("s"), E("t")),
                                B<types::SupersetOf>(I("s"), E("t")));
                   },
                   "intent.a == 1 and intent.a < 1 and intent.a <= 1 and intent.a > 1 and "
                   "intent.a >= 1 and intent.a in evidence.s and intent.s subset of evidence.t "
                   "and intent.s superset of evidence.t"},
        RenderCase{"relation_left_of_relation",
                   [] { return B<types::Eq>(B<types::Lt>(I("a"), Int(2)), Bool(true)); },
                   "(intent.a < 2) == True"},
        RenderCase{"relation_right_of_relation",
                   [] { return B<types::Eq>(Bool(true), B<types::In>(I("a"), E("s"))); },
                   "True == (intent.a in evidence.s)"},
        RenderCase{"arith_in_relation",
                   [] { return B<types::Le>(B<types::Add>(I("amount"), Int(1)), E("limit")); },
                   "intent.amount + 1 <= evidence.limit"},
        RenderCase{"not_left_of_relation", [] { return B<types::Eq>(Not(I("a")), I("b")); },
                   "not intent.a == intent.b"},
        RenderCase{"not_right_of_relation", [] { return B<types::Eq>(I("a"), Not(I("b"))); },
                   "intent.a == not intent.b"},
        RenderCase{"connective_in_relation",
                   [] { return B<types::Eq>(And(I("a"), I("b")), Or(I("c"), I("d"))); },
                   "(intent.a and intent.b) == (intent.c or intent.d)"},
        RenderCase{"lowered_chain",
                   [] { return And(B<types::Lt>(Int(1), I("x")), B<types::Le>(I("x"), Int(9))); },
                   "1 < intent.x and intent.x <= 9"},
        RenderCase{"lowered_not_in",
                   [] {
                     return Not(B<types::In>(I("x"), Ints({2, 1})));
                   },
                   "not (intent.x in {1, 2})"}),
    kName);

INSTANTIATE_TEST_SUITE_P(
    NotAndConnectives, RenderTest,
    testing::Values(RenderCase{"not_relation", [] { return Not(B<types::Eq>(I("a"), Int(1))); },
                               "not (intent.a == 1)"},
                    RenderCase{"not_and", [] { return Not(And(I("x"), I("y"))); },
                               "not (intent.x and intent.y)"},
                    RenderCase{"not_not", [] { return Not(Not(I("x"))); }, "not not intent.x"},
                    RenderCase{"not_arith", [] { return Not(B<types::Add>(I("a"), Int(1))); },
                               "not intent.a + 1"},
                    RenderCase{"and_in_or", [] { return Or(And(I("a"), I("b")), I("c")); },
                               "(intent.a and intent.b) or intent.c"},
                    RenderCase{"or_in_and", [] { return And(I("a"), Or(I("b"), I("c"))); },
                               "intent.a and (intent.b or intent.c)"},
                    RenderCase{"and_in_and_flat", [] { return And(And(I("a"), I("b")), I("c")); },
                               "intent.a and intent.b and intent.c"},
                    RenderCase{"or_in_or_flat", [] { return Or(I("a"), Or(I("b"), I("c"))); },
                               "intent.a or intent.b or intent.c"},
                    RenderCase{"relations_in_or_bare",
                               [] { return Or(B<types::Eq>(I("a"), Int(1)), Not(I("b"))); },
                               "intent.a == 1 or not intent.b"},
                    // Forms the compiler never builds but a decoded template may hold.
                    RenderCase{"and_empty", [] { return And(); }, ""},
                    RenderCase{"or_single", [] { return Or(I("a")); }, "intent.a"},
                    RenderCase{"and_single_relation",
                               [] { return And(B<types::Eq>(I("a"), Int(1))); }, "intent.a == 1"},
                    RenderCase{"not_single_and", [] { return Not(And(I("x"))); }, "not (intent.x)"},
                    RenderCase{"not_empty_or", [] { return Not(Or()); }, "not ()"},
                    RenderCase{"single_or_in_and", [] { return And(Or(I("a")), I("b")); },
                               "(intent.a) and intent.b"}),
    kName);

INSTANTIATE_TEST_SUITE_P(
    Literals, RenderTest,
    testing::Values(
        RenderCase{"true", [] { return Bool(true); }, "True"},
        RenderCase{"false", [] { return Bool(false); }, "False"},
        RenderCase{"negative", [] { return Int(-5); }, "-5"},
        RenderCase{"int_min", [] { return Int(std::numeric_limits<std::int64_t>::min()); },
                   "-9223372036854775808"},
        RenderCase{"string_escapes", [] { return Str("q\"b\\n\n"); }, "\"q\\\"b\\\\n\\n\""},
        RenderCase{"string_cr_tab_non_ascii", [] { return Str("\r\t\xC3\xA9\x01"); },
                   "\"\\r\\t\xC3\xA9\x01\""},
        RenderCase{"date_padded", [] { return Date(7, 3, 4); }, "date(0007-03-04)"},
        RenderCase{"date_plain", [] { return Date(2024, 12, 31); }, "date(2024-12-31)"},
        RenderCase{"date_long_year", [] { return Date(10000, 1, 1); }, "date(10000-01-01)"},
        // Four digits after the sign (bytecode-only; not valid source either way).
        RenderCase{"date_negative_year", [] { return Date(-7, 1, 1); }, "date(-0007-01-01)"},
        RenderCase{"date_year_min",
                   [] { return Date(std::numeric_limits<std::int32_t>::min(), 1, 1); },
                   "date(-2147483648-01-01)"},
        RenderCase{"int_set_sorted",
                   [] {
                     return Ints({3, -1, 2});
                   },
                   "{-1, 2, 3}"},
        RenderCase{"string_set_byte_order",
                   [] {
                     return Strs({"b", "a", "B", "\""});
                   },
                   "{\"\\\"\", \"B\", \"a\", \"b\"}"},
        RenderCase{"date_set",
                   [] {
                     return Dates({D(2024, 1, 2), D(99, 5, 6)});
                   },
                   "{date(0099-05-06), date(2024-01-02)}"},
        RenderCase{"empty_int_set", [] { return Ints({}); }, "{}"},
        RenderCase{"empty_string_set", [] { return Strs({}); }, "{}"},
        RenderCase{"empty_date_set", [] { return Dates({}); }, "{}"},
        RenderCase{"fields", [] { return B<types::SubsetOf>(I("a"), E("b")); },
                   "intent.a subset of evidence.b"}),
    kName);

TEST(Render, ContextWrapsWholeForm) {
  const Expr sum = B<types::Add>(I("a"), I("b"));
  EXPECT_EQ(render(sum, Context::right_of(BindingClass::Additive)), "(intent.a + intent.b)");
  EXPECT_EQ(render(sum, Context::left_of(BindingClass::Additive)), "intent.a + intent.b");
  EXPECT_EQ(render(sum, Context::left_of(BindingClass::Multiplicative)), "(intent.a + intent.b)");
  EXPECT_EQ(render(sum, Context::not_operand()), "intent.a + intent.b");
  EXPECT_EQ(render(Or(I("a"), I("b")), Context::and_operand()), "(intent.a or intent.b)");
  EXPECT_EQ(render(Or(I("a"), I("b")), Context::or_operand()), "intent.a or intent.b");
}

TEST(Bin, RendersOperandsInTheGivenClass) {
  EXPECT_EQ(bin(B<types::Add>(I("a"), I("b")), B<types::Sub>(I("c"), I("d")),
                BindingClass::Additive, "-"),
            "intent.a + intent.b - (intent.c - intent.d)");
  EXPECT_EQ(bin(B<types::Eq>(I("a"), I("b")), I("c"), BindingClass::Relation, "=="),
            "(intent.a == intent.b) == intent.c");
}

TEST(JoinChain, ZeroOneAndManyOperands) {
  EXPECT_EQ(join_chain({}, false, "and"), "");
  EXPECT_EQ(join_chain(list(Or(I("a"), I("b"))), false, "and"), "(intent.a or intent.b)");
  EXPECT_EQ(join_chain(list(Or(I("a"), I("b"))), true, "or"), "intent.a or intent.b");
  EXPECT_EQ(join_chain(list(I("a"), And(I("b"), I("c")), I("d")), true, "or"),
            "intent.a or (intent.b and intent.c) or intent.d");
}

// ---- whole templates ----

types::PolicyTemplate make_template(std::string name) {
  types::PolicyTemplate t;
  t.name = std::move(name);
  return t;
}

void add_constraint(types::PolicyTemplate& t, Expr e, bool optional = false) {
  t.constraints.push_back(types::Constraint{optional, std::move(e)});
}

TEST(ReadablePrint, FullLayout) {
  auto t = make_template("t");
  t.intent_schema.fields["b"] = {Type::DateSet, true};
  t.intent_schema.fields["a"] = {Type::Int, false};
  t.evidence_schema.fields["s"] = {Type::String};
  add_constraint(t, B<types::Gt>(I("a"), Int(1)));
  add_constraint(t, B<types::SupersetOf>(I("b"), Dates({D(2024, 1, 2)})), true);
  EXPECT_EQ(readable_print(t),
            "name t\n"
            "\n"
            "intent {\n"
            "  a: int\n"
            "  b: optional set<date>\n"
            "}\n"
            "\n"
            "evidence {\n"
            "  s: string\n"
            "}\n"
            "\n"
            "requires {\n"
            "  intent.a > 1;\n"
            "  optional: intent.b superset of {date(2024-01-02)};\n"
            "}\n");
}

TEST(ReadablePrint, EmptyIntentIsOmitted) {
  auto t = make_template("policy_1");
  t.evidence_schema.fields["score"] = {Type::StringSet};
  add_constraint(t, Bool(true));
  EXPECT_EQ(readable_print(t),
            "name policy_1\n\nevidence {\n  score: set<string>\n}\n\nrequires {\n  True;\n}\n");
}

TEST(ReadablePrint, EmptySchemasAndNoConstraints) {
  auto t = make_template("t");
  EXPECT_EQ(readable_print(t), "name t\n\nrequires {\n}\n");
  add_constraint(t, Bool(false), true);
  EXPECT_EQ(readable_print(t), "name t\n\nrequires {\n  optional: False;\n}\n");
}

TEST(ReadablePrint, FieldsInByteOrderWithEveryType) {
  auto t = make_template("t");
  t.intent_schema.fields["b"] = {Type::Bool, true};
  t.intent_schema.fields["a"] = {Type::String, false};
  t.intent_schema.fields["B"] = {Type::IntSet, true};
  t.evidence_schema.fields["z"] = {Type::Date};
  t.evidence_schema.fields["_"] = {Type::Int};
  t.evidence_schema.fields["Y"] = {Type::StringSet};
  add_constraint(t, Bool(true));
  EXPECT_EQ(readable_print(t),
            "name t\n\nintent {\n  B: optional set<int>\n  a: string\n  b: optional bool\n}\n"
            "\nevidence {\n  Y: set<string>\n  _: int\n  z: date\n}\n"
            "\nrequires {\n  True;\n}\n");
}

TEST(ReadablePrint, ConstraintsKeepStoredOrderAndTopLevelHasNoParens) {
  auto t = make_template("t");
  t.evidence_schema.fields["x"] = {Type::Bool};
  add_constraint(t, Or(And(E("x"), E("x")), Bool(false)));
  add_constraint(t, Not(E("x")));
  add_constraint(t, B<types::Eq>(Int(1), Int(1)));
  EXPECT_EQ(readable_print(t),
            "name t\n\nevidence {\n  x: bool\n}\n\nrequires {\n"
            "  (evidence.x and evidence.x) or False;\n"
            "  not evidence.x;\n"
            "  1 == 1;\n}\n");
}

// ---- trees at the depth limit: `kLevels` nodes on the longest path ----

constexpr std::size_t kLevels = types::MAX_EXPR_DEPTH;

TEST(RenderDeep, NotChain) {
  Expr e = I("x");
  for (std::size_t i = 1; i < kLevels; ++i) e = Not(std::move(e));
  std::string expected;
  for (std::size_t i = 1; i < kLevels; ++i) expected += "not ";
  expected += "intent.x";
  EXPECT_EQ(render(e, Context::top_level()), expected);
}

TEST(RenderDeep, LeftNestedSubIsQuickAndFlat) {
  Expr e = Int(0);
  for (std::size_t i = 1; i < kLevels; ++i) e = B<types::Sub>(std::move(e), Int(1));
  const auto start = std::chrono::steady_clock::now();
  const std::string text = render(e, Context::top_level());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::string expected = "0";
  for (std::size_t i = 1; i < kLevels; ++i) expected += " - 1";
  EXPECT_EQ(text, expected);
  // Wall-clock bounds belong to the benchmarks (sanitizer and shared CI
  // machines vary too much); this run guards against crashes only.
  (void)(elapsed);
}

TEST(RenderDeep, RightNestedSub) {
  Expr e = Int(0);
  for (std::size_t i = 1; i < kLevels; ++i) e = B<types::Sub>(Int(1), std::move(e));
  std::string expected;
  for (std::size_t i = 1; i < kLevels; ++i) expected += i == 1 ? "1 - " : "(1 - ";
  expected += "0";
  expected.append(kLevels - 2, ')');
  EXPECT_EQ(render(e, Context::top_level()), expected);
}

TEST(RenderDeep, AlternatingAndOr) {
  Expr e = I("x");
  for (std::size_t i = 1; i < kLevels; ++i) {
    e = (i % 2 == 1) ? And(std::move(e), I("y")) : Or(std::move(e), I("y"));
  }
  // Every level but the outermost is the other connective, so it is wrapped.
  std::string expected(kLevels - 2, '(');
  expected += "intent.x";
  for (std::size_t i = 1; i < kLevels; ++i) {
    expected += (i % 2 == 1) ? " and intent.y" : " or intent.y";
    if (i + 1 < kLevels) expected += ')';
  }
  EXPECT_EQ(render(e, Context::top_level()), expected);
}

TEST(RenderDeep, NestedSameKindStaysFlat) {
  Expr e = I("x");
  for (std::size_t i = 1; i < kLevels; ++i) e = And(std::move(e), I("y"));
  std::string expected = "intent.x";
  for (std::size_t i = 1; i < kLevels; ++i) expected += " and intent.y";
  EXPECT_EQ(render(e, Context::top_level()), expected);
}

}  // namespace
}  // namespace verdane::readable
