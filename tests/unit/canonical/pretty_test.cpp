#include "canonical/pretty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "common/builders.h"

namespace verdane::canonical {
namespace {

using namespace test;

struct PrettyCase {
  std::string name;
  ExprFn build;
  std::string expected;
  friend void PrintTo(const PrettyCase& c, std::ostream* os) { *os << c.name; }
};

class PrettyExprTest : public testing::TestWithParam<PrettyCase> {};

TEST_P(PrettyExprTest, PrintsExactText) {
  EXPECT_EQ(pretty_expr(GetParam().build()), GetParam().expected);
}

const auto kName = [](const auto& info) { return info.param.name; };

INSTANTIATE_TEST_SUITE_P(
    Operators, PrettyExprTest,
    testing::Values(
        PrettyCase{"add", [] { return B<types::Add>(I("a"), Int(1)); }, "(intent.a + 1)"},
        PrettyCase{"sub", [] { return B<types::Sub>(I("a"), Int(1)); }, "(intent.a - 1)"},
        PrettyCase{"mul", [] { return B<types::Mul>(I("a"), Int(1)); }, "(intent.a * 1)"},
        PrettyCase{"eq", [] { return B<types::Eq>(I("a"), E("b")); }, "(intent.a == evidence.b)"},
        PrettyCase{"lt", [] { return B<types::Lt>(I("a"), E("b")); }, "(intent.a < evidence.b)"},
        PrettyCase{"le", [] { return B<types::Le>(I("a"), E("b")); }, "(intent.a <= evidence.b)"},
        PrettyCase{"gt", [] { return B<types::Gt>(I("a"), E("b")); }, "(intent.a > evidence.b)"},
        PrettyCase{"ge", [] { return B<types::Ge>(I("a"), E("b")); }, "(intent.a >= evidence.b)"},
        PrettyCase{"in_element_first", [] { return B<types::In>(Int(1), E("s")); },
                   "(1 in evidence.s)"},
        PrettyCase{"subset", [] { return B<types::SubsetOf>(I("s"), E("t")); },
                   "(intent.s subset of evidence.t)"},
        PrettyCase{"superset", [] { return B<types::SupersetOf>(I("s"), Ints({})); },
                   "(intent.s superset of {})"},
        PrettyCase{"not", [] { return Not(I("x")); }, "(not intent.x)"},
        PrettyCase{"not_not", [] { return Not(Not(Bool(true))); }, "(not (not True))"},
        PrettyCase{"lowered_arith_compare",
                   [] { return B<types::Le>(B<types::Add>(I("amount"), Int(1)), E("limit")); },
                   "((intent.amount + 1) <= evidence.limit)"},
        PrettyCase{"lowered_chain",
                   [] { return And(B<types::Lt>(I("a"), I("b")), B<types::Le>(I("b"), I("c"))); },
                   "((intent.a < intent.b) and (intent.b <= intent.c))"},
        PrettyCase{"lowered_not_in", [] { return Not(B<types::In>(I("x"), E("s"))); },
                   "(not (intent.x in evidence.s))"},
        PrettyCase{"right_nested_sub",
                   [] { return B<types::Sub>(I("a"), B<types::Sub>(I("b"), I("c"))); },
                   "(intent.a - (intent.b - intent.c))"},
        PrettyCase{"left_nested_sub",
                   [] { return B<types::Sub>(B<types::Sub>(I("a"), I("b")), I("c")); },
                   "((intent.a - intent.b) - intent.c)"},
        PrettyCase{"sub_negative", [] { return B<types::Sub>(Int(5), Int(-5)); }, "(5 - -5)"},
        PrettyCase{"field_names_verbatim", [] { return B<types::Eq>(I("Zed_1"), E("a b")); },
                   "(intent.Zed_1 == evidence.a b)"}),
    kName);

INSTANTIATE_TEST_SUITE_P(
    Connectives, PrettyExprTest,
    testing::Values(PrettyCase{"or_three_flat", [] { return Or(I("p"), I("q"), I("r")); },
                               "(intent.p or intent.q or intent.r)"},
                    PrettyCase{"and_two", [] { return And(I("p"), Not(I("q"))); },
                               "(intent.p and (not intent.q))"},
                    PrettyCase{"and_empty", [] { return And(); }, "()"},
                    PrettyCase{"or_empty", [] { return Or(); }, "()"},
                    PrettyCase{"and_single_field", [] { return And(I("p")); }, "intent.p"},
                    PrettyCase{"or_single_comparison",
                               [] { return Or(B<types::Eq>(I("a"), Int(1))); }, "(intent.a == 1)"},
                    PrettyCase{"nested_same_kind_kept",
                               [] { return And(And(I("a"), I("b")), I("c")); },
                               "((intent.a and intent.b) and intent.c)"},
                    PrettyCase{"or_inside_and", [] { return And(I("a"), Or(I("b"), I("c"))); },
                               "(intent.a and (intent.b or intent.c))"},
                    PrettyCase{"not_of_empty", [] { return Not(Or()); }, "(not ())"},
                    PrettyCase{"empty_inside_binary",
                               [] { return B<types::Eq>(And(), And(I("x"))); },
                               "(() == intent.x)"}),
    kName);

INSTANTIATE_TEST_SUITE_P(
    Literals, PrettyExprTest,
    testing::Values(
        PrettyCase{"true", [] { return Bool(true); }, "True"},
        PrettyCase{"false", [] { return Bool(false); }, "False"},
        PrettyCase{"zero", [] { return Int(0); }, "0"},
        PrettyCase{"negative", [] { return Int(-5); }, "-5"},
        PrettyCase{"int_min", [] { return Int(std::numeric_limits<std::int64_t>::min()); },
                   "-9223372036854775808"},
        PrettyCase{"int_max", [] { return Int(std::numeric_limits<std::int64_t>::max()); },
                   "9223372036854775807"},
        PrettyCase{"string_plain", [] { return Str("hi"); }, "\"hi\""},
        PrettyCase{"string_empty", [] { return Str(""); }, "\"\""},
        PrettyCase{"string_escapes", [] { return Str("a\"b\\c\nd"); }, "\"a\\\"b\\\\c\\nd\""},
        PrettyCase{"string_tab_non_ascii", [] { return Str("\t\xC3\xA4"); }, "\"\\t\xC3\xA4\""},
        PrettyCase{"string_cr_other_control", [] { return Str("\r\x01\x7f"); }, "\"\\r\x01\x7f\""},
        PrettyCase{"date_padded", [] { return Date(2024, 3, 7); }, "date(2024-03-07)"},
        PrettyCase{"date_small_year", [] { return Date(7, 3, 4); }, "date(0007-03-04)"},
        PrettyCase{"date_year_zero", [] { return Date(0, 2, 29); }, "date(0000-02-29)"},
        PrettyCase{"date_long_year", [] { return Date(12345, 12, 31); }, "date(12345-12-31)"},
        // The minus sign counts toward the four characters of the year.
        PrettyCase{"date_negative_year", [] { return Date(-7, 1, 1); }, "date(-007-01-01)"},
        PrettyCase{"date_negative_long_year", [] { return Date(-1234, 1, 1); },
                   "date(-1234-01-01)"},
        PrettyCase{"date_year_min",
                   [] { return Date(std::numeric_limits<std::int32_t>::min(), 1, 1); },
                   "date(-2147483648-01-01)"},
        PrettyCase{"date_out_of_range_parts", [] { return Date(2024, 0, 255); },
                   "date(2024-00-255)"},
        PrettyCase{"int_set_sorted",
                   [] {
                     return Ints({3, 1, 2});
                   },
                   "{1, 2, 3}"},
        PrettyCase{"int_set_negative",
                   [] {
                     return Ints({2, -1});
                   },
                   "{-1, 2}"},
        PrettyCase{"string_set_byte_order",
                   [] {
                     return Strs({"b", "\xC3\xA4", "a\"", "B"});
                   },
                   "{\"B\", \"a\\\"\", \"b\", \"\xC3\xA4\"}"},
        PrettyCase{"date_set_order",
                   [] {
                     return Dates({D(2024, 1, 2), D(2023, 12, 31), D(2024, 1, 1)});
                   },
                   "{date(2023-12-31), date(2024-01-01), date(2024-01-02)}"},
        PrettyCase{"empty_int_set", [] { return Ints({}); }, "{}"},
        PrettyCase{"empty_string_set", [] { return Strs({}); }, "{}"},
        PrettyCase{"empty_date_set", [] { return Dates({}); }, "{}"}),
    kName);

TEST(PrettyConnective, ZeroOneAndManyOperands) {
  EXPECT_EQ(pretty_connective({}, "or"), "()");
  EXPECT_EQ(pretty_connective(list(B<types::Gt>(I("a"), Int(1))), "or"), "(intent.a > 1)");
  EXPECT_EQ(pretty_connective(list(I("a"), I("b"), I("c"), I("d")), "and"),
            "(intent.a and intent.b and intent.c and intent.d)");
}

// Trees at the depth limit: `levels` nodes on the longest path, leaf included.
constexpr std::size_t kLevels = types::MAX_EXPR_DEPTH;

TEST(PrettyDeep, NotChainAtDepthLimit) {
  Expr e = Bool(true);
  for (std::size_t i = 1; i < kLevels; ++i) e = Not(std::move(e));
  const std::string text = pretty_expr(e);
  std::string expected;
  for (std::size_t i = 1; i < kLevels; ++i) expected += "(not ";
  expected += "True";
  expected.append(kLevels - 1, ')');
  EXPECT_EQ(text, expected);
}

TEST(PrettyDeep, LeftNestedSubIsQuickAndExact) {
  Expr e = Int(0);
  for (std::size_t i = 1; i < kLevels; ++i) e = B<types::Sub>(std::move(e), Int(1));
  const auto start = std::chrono::steady_clock::now();
  const std::string text = pretty_expr(e);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::string expected(kLevels - 1, '(');
  expected += "0";
  for (std::size_t i = 1; i < kLevels; ++i) expected += " - 1)";
  EXPECT_EQ(text, expected);
  // Wall-clock bounds belong to the benchmarks (sanitizer and shared CI
  // machines vary too much); this run guards against crashes only.
  (void)(elapsed);
}

TEST(PrettyDeep, RightNestedSub) {
  Expr e = Int(0);
  for (std::size_t i = 1; i < kLevels; ++i) e = B<types::Sub>(Int(1), std::move(e));
  std::string expected;
  for (std::size_t i = 1; i < kLevels; ++i) expected += "(1 - ";
  expected += "0";
  expected.append(kLevels - 1, ')');
  EXPECT_EQ(pretty_expr(e), expected);
}

TEST(PrettyDeep, AlternatingAndOr) {
  Expr e = I("x");
  for (std::size_t i = 1; i < kLevels; ++i) {
    e = (i % 2 == 1) ? And(std::move(e), I("y")) : Or(std::move(e), I("y"));
  }
  std::string expected(kLevels - 1, '(');
  expected += "intent.x";
  for (std::size_t i = 1; i < kLevels; ++i)
    expected += (i % 2 == 1) ? " and intent.y)" : " or intent.y)";
  EXPECT_EQ(pretty_expr(e), expected);
}

}  // namespace
}  // namespace verdane::canonical
