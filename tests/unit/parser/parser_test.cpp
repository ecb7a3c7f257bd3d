#include "parser/parse.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "dump.h"
#include "parser/ast/height.h"
#include "parser/grammar/grammar.h"
#include "types/model.h"

namespace verdane::parser {
namespace {

using ast::testing::dump;

// Every expression case sits alone in a requires block, starting at line 6,
// column 1.
const std::string kPrefix = "name t\nevidence {\n  a: int\n}\nrequires {\n";

std::string in_requires(const std::string& expr) { return kPrefix + expr + "\n}\n"; }

struct ExprCase {
  std::string name;
  std::string expr;
  std::string tree;
};

class ParseExpr : public ::testing::TestWithParam<ExprCase> {};

TEST_P(ParseExpr, Shape) {
  const auto& c = GetParam();
  auto r = parse(in_requires(c.expr));
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(r->constraints.size(), 1u);
  EXPECT_EQ(dump(r->constraints[0].expr), c.tree);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseExpr,
    ::testing::Values(
        ExprCase{"Int", "5", "5"}, ExprCase{"NegativeInt", "-5", "-5"},
        ExprCase{"NegativeMaxInt", "-9223372036854775807", "-9223372036854775807"},
        ExprCase{"Str", R"("a\n")", "\"a\n\""},
        ExprCase{"Date", "date(2024-03-07)", "date(2024-3-7)"},
        ExprCase{"Bools", "True == False", "(chain true == false)"},
        ExprCase{"Fields", "intent.x == evidence.y", "(chain intent.x == evidence.y)"},
        ExprCase{"FieldWithSpaces", "intent .x", "intent.x"},
        ExprCase{"NotNot", "not not True", "(not (not true))"},
        ExprCase{"NotBindsTighterThanComparison", "not intent.a == True",
                 "(chain (not intent.a) == true)"},
        ExprCase{"NotLooserThanArith", "not intent.a + 1", "(not (+ intent.a 1))"},
        ExprCase{"AndIsNary", "True and False and True", "(and true false true)"},
        ExprCase{"OrIsNary", "True or False or True", "(or true false true)"},
        ExprCase{"ParenAllowsMixing", "True and (False or True)",
                 "(and true (paren (or false true)))"},
        ExprCase{"AndOnNextLine", "True\nand False", "(and true false)"},
        ExprCase{"AndAfterCommentedLines", "True\n\n  # c\n\n  and False", "(and true false)"},
        ExprCase{"NewlinesAfterOperators", "1 +\n2 ==\n3 and\nTrue",
                 "(and (chain (+ 1 2) == 3) true)"},
        ExprCase{"ArithLeftNested", "1 - 2 - 3", "(- (- 1 2) 3)"},
        ExprCase{"MulBindsTighter", "1 + 2 * 3 * 4", "(+ 1 (* (* 2 3) 4))"},
        ExprCase{"MinusLiteralInArith", "1 - -2", "(- 1 -2)"},
        ExprCase{"ChainAscending", "1 < 2 <= 3", "(chain 1 < 2 <= 3)"},
        ExprCase{"ChainWithEq", "1 < 2 <= 3 == 3", "(chain 1 < 2 <= 3 == 3)"},
        ExprCase{"ChainDescending", "3 >= 2 > 1", "(chain 3 >= 2 > 1)"},
        ExprCase{"ChainOnlyEq", "1 == 1 == 1", "(chain 1 == 1 == 1)"},
        ExprCase{"In", "intent.x in {1, 2}", "(in intent.x {1,2})"},
        ExprCase{"NotIn", "intent.x not in {1, 2}", "(not-in intent.x {1,2})"},
        ExprCase{"SubsetOf", "intent.s subset of intent.t", "(subset-of intent.s intent.t)"},
        ExprCase{"SupersetOf", "intent.s superset of\n{\"a\"}", "(superset-of intent.s {\"a\"})"},
        ExprCase{"SetOpOperandsAreNotLevel", "not intent.a in intent.b",
                 "(in (not intent.a) intent.b)"},
        ExprCase{"SetLiteralMixedAndDuplicates", "{-1, 2, \"x\", date(2024-01-05), 2}",
                 "{-1,2,\"x\",date(2024-1-5),2}"},
        ExprCase{"SetLiteralNewlines", "{\n1\n,\n2\n}", "{1,2}"}, ExprCase{"EmptySet", "{}", "{}"},
        ExprCase{"EmptySetWithNewline", "{\n}", "{}"},
        ExprCase{"ParenNewlines", "(\nTrue\n)", "(paren true)"},
        ExprCase{"NestedParens", "((1))", "(paren (paren 1))"}),
    [](const auto& info) { return info.param.name; });

TEST(ParseSpans, EveryNodeCarriesItsRange) {
  const std::string expr =
      "not intent.a + 1 < (2) and evidence.b not in {1} and -3 * 4 == date(2024-01-01)";
  auto r = parse(in_requires(expr));
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(dump(r->constraints[0].expr, kPrefix.size()),
            "(and "
            "(chain (not (+@13-14 intent.a@11-12@4-12 1@15-16)@4-16)@0-16 <@17-18 "
            "(paren 2@20-21)@19-22)@0-22 "
            "(not-in@38-44 evidence.b@36-37@27-37 {1}@45-48)@27-48 "
            "(chain (*@56-57 -3@53-55 4@58-59)@53-59 ==@60-62 date(2024-1-1)@63-79)@53-79"
            ")@0-79");
}

TEST(ParseFile, BlocksFieldsAndConstraints) {
  const std::string src =
      "\n# leading comment\nname  tmpl\n\nintent {\n  a: optional set<date>\n\n  b: int\n}\n"
      "evidence {\n  c: set<string>\n  d: bool }\nrequires {\n  ; optional:\n  intent.a == {};\n"
      "  evidence.d ; ;\n  True }\n\n";
  auto r = parse(src);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const ast::File& f = *r;
  EXPECT_EQ(f.name, "tmpl");
  EXPECT_EQ(src.substr(f.name_span.start, f.name_span.end - f.name_span.start), "tmpl");
  ASSERT_TRUE(f.intent.has_value());
  EXPECT_EQ(f.intent->kind, ast::SchemaKind::Intent);
  ASSERT_EQ(f.intent->fields.size(), 2u);
  EXPECT_EQ(f.intent->fields[0].name, "a");
  EXPECT_TRUE(f.intent->fields[0].optional);
  EXPECT_EQ(f.intent->fields[0].ty, types::Type::DateSet);
  EXPECT_EQ(src.substr(f.intent->fields[0].span.start, 1), "a");
  EXPECT_EQ(f.intent->fields[0].span.end - f.intent->fields[0].span.start, 1u);
  EXPECT_EQ(f.intent->fields[1].name, "b");
  EXPECT_FALSE(f.intent->fields[1].optional);
  EXPECT_EQ(f.intent->fields[1].ty, types::Type::Int);
  EXPECT_EQ(src.substr(f.intent->span.start, f.intent->span.end - f.intent->span.start),
            "intent {\n  a: optional set<date>\n\n  b: int\n}");
  EXPECT_EQ(f.evidence.kind, ast::SchemaKind::Evidence);
  ASSERT_EQ(f.evidence.fields.size(), 2u);
  EXPECT_EQ(f.evidence.fields[0].ty, types::Type::StringSet);
  EXPECT_EQ(f.evidence.fields[1].ty, types::Type::Bool);
  EXPECT_EQ(src.substr(f.evidence.span.start, f.evidence.span.end - f.evidence.span.start),
            "evidence {\n  c: set<string>\n  d: bool }");
  ASSERT_EQ(f.constraints.size(), 3u);
  const auto text = [&](errors::Span s) { return src.substr(s.start, s.end - s.start); };
  EXPECT_TRUE(f.constraints[0].optional);
  EXPECT_EQ(text(f.constraints[0].span), "optional:\n  intent.a == {}");
  EXPECT_EQ(text(f.constraints[0].expr.span()), "intent.a == {}");
  EXPECT_FALSE(f.constraints[1].optional);
  EXPECT_EQ(text(f.constraints[1].span), "evidence.d");
  EXPECT_EQ(text(f.constraints[2].span), "True");
}

TEST(ParseFile, OptionalIntentAndAllTypes) {
  auto r = parse(
      "name t\nevidence {\n a: bool\n b: int\n c: string\n d: date\n e: set<int>\n"
      " f: set<string>\n g: set<date>\n}\nrequires { True }");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_FALSE(r->intent.has_value());
  ASSERT_EQ(r->evidence.fields.size(), 7u);
  const types::Type want[] = {types::Type::Bool,   types::Type::Int,    types::Type::String,
                              types::Type::Date,   types::Type::IntSet, types::Type::StringSet,
                              types::Type::DateSet};
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(r->evidence.fields[i].ty, want[i]) << i;
}

TEST(ParseFile, EmptyIntentDuplicateFieldsAndSemicolons) {
  auto r =
      parse("name t\nintent {}\nevidence {\n a: int\n a: int\n}\nrequires { ; True; ; False; }");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_TRUE(r->intent.has_value());
  EXPECT_TRUE(r->intent->fields.empty());
  EXPECT_EQ(r->evidence.fields.size(), 2u);
  ASSERT_EQ(r->constraints.size(), 2u);
  EXPECT_EQ(dump(r->constraints[1].expr), "false");
}

struct ErrCase {
  std::string name;
  std::string src;
  std::string error;
};

class ParseErrors : public ::testing::TestWithParam<ErrCase> {};

TEST_P(ParseErrors, Fails) {
  const auto& c = GetParam();
  auto r = parse(c.src);
  ASSERT_FALSE(r.ok()) << dump(r->constraints[0].expr);
  EXPECT_EQ(r.error().to_string(), c.error);
}

const std::string kEv = "evidence {\n  a: int\n}\n";

INSTANTIATE_TEST_SUITE_P(
    File, ParseErrors,
    ::testing::Values(
        ErrCase{"Empty", "", "error at 1:1: expected 'name'"},
        ErrCase{"OnlyComment", "# c", "error at 1:4: expected 'name'"},
        ErrCase{"OnlyLineFeeds", "\n\n", "error at 3:1: expected 'name'"},
        ErrCase{"NotName", "\n  evidence", "error at 2:3: expected 'name'"},
        ErrCase{"NameThenLineBreak", "name\nt",
                "error at 1:5: expected an identifier after 'name'"},
        ErrCase{"NameAtEnd", "name", "error at 1:5: expected an identifier after 'name'"},
        ErrCase{"NameKeyword", "name set", "error at 1:6: expected an identifier after 'name'"},
        ErrCase{"NoEvidenceAtEnd", "name t\n", "error at 2:1: expected an evidence schema"},
        ErrCase{"RequiresWithoutEvidence", "name t\nrequires {}",
                "error at 2:1: expected an evidence schema"},
        ErrCase{"NoEvidenceAfterIntent", "name t\nintent {}\nrequires",
                "error at 3:1: expected an evidence schema after the intent schema"},
        ErrCase{"TwoIntents", "name t\nintent {}\nintent {}",
                "error at 3:1: expected an evidence schema after the intent schema"},
        ErrCase{"NoRequires", "name t\n" + kEv,
                "error at 5:1: expected the requirements after the evidence schema"},
        ErrCase{"IntentAfterEvidence", "name t\n" + kEv + "intent {}",
                "error at 5:1: expected the requirements after the evidence schema"},
        ErrCase{"TrailingTokens", "name t\n" + kEv + "requires { True }\n\nname",
                "error at 7:1: expected end of file"},
        ErrCase{"EmptyEvidence", "name t\nevidence {\n\n}",
                "error at 4:1: the evidence block must be non-empty"},
        ErrCase{"EmptyRequires", "name t\n" + kEv + "requires { }",
                "error at 5:12: the requires block must be non-empty"},
        ErrCase{"OnlySemicolons", "name t\n" + kEv + "requires {\n;\n;}",
                "error at 7:2: the requires block must be non-empty"},
        ErrCase{"RequiresUnclosed", "name t\n" + kEv + "requires {\n",
                "error at 6:1: expected `}`, found end of input"},
        ErrCase{"RequiresUnclosedAfterConstraint", "name t\n" + kEv + "requires { True",
                "error at 5:16: expected `}`, found end of input"},
        ErrCase{"RequiresUnclosedAfterNewline", "name t\n" + kEv + "requires { True\n",
                "error at 6:1: expected `}`, found end of input"},
        ErrCase{"RequiresBraceOnNextLine", "name t\n" + kEv + "requires\n{",
                "error at 5:9: expected `{`, found newline"},
        ErrCase{"IntentBraceOnNextLine", "name t\nintent\n{",
                "error at 2:7: expected `{`, found newline"},
        ErrCase{"SchemaUnclosed", "name t\nevidence {\n a: int\n",
                "error at 4:1: expected `}`, found end of input"},
        ErrCase{"OptionalInEvidence", "name t\nevidence {\n a: optional set<date>\n}",
                "error at 3:5: `optional` is not allowed in `evidence` schema fields"},
        ErrCase{"SetOfBool", "name t\nevidence {\n a: set<bool>\n}",
                "error at 3:9: unsupported set type"},
        ErrCase{"SetAtEnd", "name t\nevidence {\n a: set<", "error at 3:9: unsupported set type"},
        ErrCase{"SetWithoutAngle", "name t\nevidence {\n a: set int\n}",
                "error at 3:9: expected `<`, found keyword `int`"},
        ErrCase{"SetUnclosed", "name t\nevidence {\n a: set<int\n}",
                "error at 3:12: expected `>`, found newline"},
        ErrCase{"SetGreaterEqual", "name t\nevidence {\n a: set<int>=\n}",
                "error at 3:12: expected `>`, found `>=`"},
        ErrCase{"UnknownType", "name t\nevidence {\n a: money\n}",
                "error at 3:5: unknown type 'money'"},
        ErrCase{"CommaBetweenFields", "name t\nevidence {\n a: int, b: int\n}",
                "error at 3:8: expected newline or `}`, found `,`"},
        ErrCase{"FieldAtEnd", "name t\nevidence {\n a: int",
                "error at 3:8: expected newline or `}`, found end of input"},
        ErrCase{"KeywordFieldName", "name t\nevidence {\n name: int\n}",
                "error at 3:2: expected identifier, found keyword `name`"},
        ErrCase{"MissingColon", "name t\nevidence {\n a int\n}",
                "error at 3:4: expected `:`, found keyword `int`"},
        ErrCase{"TypeOnNextLine", "name t\nevidence {\n a:\n int\n}",
                "error at 3:4: expected a type, found newline"},
        ErrCase{"TypeIsLiteral", "name t\nevidence {\n a: 5\n}",
                "error at 3:5: expected a type, found integer literal `5`"},
        ErrCase{"TypeAtEnd",
                "name t\nevidence {\n a:", "error at 3:4: expected a type, found end of input"},
        ErrCase{"OptionalTwice", "name t\nintent {\n a: optional optional int\n}",
                "error at 3:14: expected a type, found keyword `optional`"}),
    [](const auto& info) { return info.param.name; });

// Errors inside a requires block; the expression starts at line 6, column 1.
INSTANTIATE_TEST_SUITE_P(
    Constraints, ParseErrors,
    ::testing::Values(
        ErrCase{"NoSemicolonBetween", in_requires("True\nFalse"),
                "error at 7:1: expected ';' or '}' after a constraint"},
        ErrCase{"NoSemicolonAfterCommentedLines", in_requires("True\n  # c\n\n  False"),
                "error at 9:3: expected ';' or '}' after a constraint"},
        ErrCase{"NotInAcrossLines", in_requires("intent.x not\n\nin {1}"),
                "error at 6:10: expected ';' or '}' after a constraint"},
        // The whole source is scanned: a lexical error after a syntax error wins.
        ErrCase{"LexicalErrorAfterSyntaxError", kPrefix + "(1\n}\n\"open",
                "error at 8:1: unterminated string literal"},
        ErrCase{"LexicalErrorAfterTooDeepNesting", kPrefix + std::string(60, '(') + "1 ~",
                "error at 6:63: unexpected character '~'"},
        ErrCase{"LexicalErrorWhereParsingStops", kPrefix + "intent.@",
                "error at 6:8: unexpected character '@'"},
        ErrCase{"ComparisonOnNextLine", in_requires("True\n== False"),
                "error at 7:1: expected ';' or '}' after a constraint"},
        ErrCase{"SemicolonOnNextLine", in_requires("True\n;"),
                "error at 7:1: expected ';' or '}' after a constraint"},
        ErrCase{"TwoOperands", in_requires("True False"),
                "error at 6:6: expected ';' or '}' after a constraint"},
        ErrCase{"LoneSubset", in_requires("intent.s subset intent.t"),
                "error at 6:10: expected ';' or '}' after a constraint"},
        ErrCase{"TwoSetOps", in_requires("intent.a in intent.b in intent.c"),
                "error at 6:22: expected ';' or '}' after a constraint"},
        ErrCase{"SetOpThenCompare", in_requires("intent.a in intent.b == True"),
                "error at 6:22: expected ';' or '}' after a constraint"},
        ErrCase{"TwoSetOpsInParens", in_requires("(intent.a in intent.b in intent.c)"),
                "error at 6:23: expected `)`, found keyword `in`"},
        ErrCase{"MixedAndOr", in_requires("True and False or True"),
                "error at 6:16: mixed unparenthesized 'and' and 'or' are not allowed"},
        ErrCase{"MixedAcrossLines", in_requires("True\nor False\n\nand True"),
                "error at 9:1: mixed unparenthesized 'and' and 'or' are not allowed"},
        ErrCase{"MixedAcrossCommentedLines", in_requires("True\n# c\nor False\n  # d\n\nand True"),
                "error at 11:1: mixed unparenthesized 'and' and 'or' are not allowed"},
        ErrCase{"ChainReversed", in_requires("3 > 2 < 4"),
                "error at 6:3: chained comparisons cannot reverse direction"},
        ErrCase{"ChainReversedAfterEq", in_requires("1 == 2 <= 3 >= 4"),
                "error at 6:8: chained comparisons cannot reverse direction"},
        ErrCase{"ReversedBeforeOperand", in_requires("1 < 2 > )"),
                "error at 6:3: chained comparisons cannot reverse direction"},
        ErrCase{"InAfterChain", in_requires("1 == 1 in s"),
                "error at 6:8: 'in' / 'not in' cannot be part of a chained comparison"},
        ErrCase{"NotInAfterChain", in_requires("1 < 2 not in s"),
                "error at 6:7: 'in' / 'not in' cannot be part of a chained comparison"},
        ErrCase{"SubsetAfterChain", in_requires("1 < 2 subset of s"),
                "error at 6:7: 'in' / 'not in' cannot be part of a chained comparison"},
        ErrCase{"UnaryMinusIdent", in_requires("- x"),
                "error at 6:3: expected integer literal after unary `-`"},
        ErrCase{"UnaryMinusParen", in_requires("-(5)"),
                "error at 6:2: expected integer literal after unary `-`"},
        ErrCase{"UnaryMinusNewline", in_requires("-\n5"),
                "error at 6:2: expected integer literal after unary `-`"},
        ErrCase{"UnaryMinusAtEnd", kPrefix + "-",
                "error at 6:2: expected integer literal after unary `-`"},
        ErrCase{"UnaryMinusString", in_requires("-\"a\""),
                "error at 6:2: expected integer literal after unary `-`"},
        ErrCase{"SetTrailingComma", in_requires("{1, 2,}"),
                "error at 6:7: expected a set element (int, string, or date literal), found `}`"},
        ErrCase{"SetBool", in_requires("{True}"),
                "error at 6:2: expected a set element (int, string, or date literal), found "
                "keyword `True`"},
        ErrCase{"SetNested", in_requires("{{}}"),
                "error at 6:2: expected a set element (int, string, or date literal), found `{`"},
        ErrCase{"SetNoComma", in_requires("{1 2}"),
                "error at 6:4: expected `,` or `}` in set literal, found integer literal `2`"},
        ErrCase{"SetMinusIdent", in_requires("{-x}"),
                "error at 6:3: expected integer literal after `-` in set element"},
        ErrCase{"SetMinusAtEnd", kPrefix + "{-",
                "error at 6:3: expected integer literal after `-` in set element"},
        ErrCase{"SetOpenAtEnd", kPrefix + "{",
                "error at 6:2: unexpected end of input in set literal"},
        ErrCase{"SetCommaAtEnd", kPrefix + "{1,\n",
                "error at 7:1: unexpected end of input in set literal"},
        ErrCase{"SetElementAtEnd", kPrefix + "{1\n", "error at 7:1: unterminated set literal"},
        ErrCase{"BareIdent", in_requires("foo == 1"),
                "error at 6:1: expected `intent.<field>` or `evidence.<field>`, found bare "
                "identifier `foo`"},
        ErrCase{"KeywordFieldName", in_requires("intent.date"),
                "error at 6:8: expected identifier, found keyword `date`"},
        ErrCase{"NewlineBeforeDot", in_requires("intent\n.x"),
                "error at 6:7: expected `.`, found newline"},
        ErrCase{"NewlineAfterDot", in_requires("intent.\nx"),
                "error at 6:8: expected identifier, found newline"},
        ErrCase{"ParenUnclosed", in_requires("(1"), "error at 7:1: expected `)`, found `}`"},
        ErrCase{"ParenAtEnd", kPrefix + "(1", "error at 6:3: expected `)`, found end of input"},
        ErrCase{"ExpressionAtEnd", kPrefix + "optional:\n",
                "error at 7:1: expected an expression, found end of input"},
        ErrCase{"OptionalWithoutColon", in_requires("optional True"),
                "error at 6:1: expected an expression, found keyword `optional`"},
        ErrCase{"OptionalColonOnNextLine", in_requires("optional\n: True"),
                "error at 6:1: expected an expression, found keyword `optional`"},
        ErrCase{"NotThenBrace", in_requires("not"),
                "error at 7:1: expected an expression, found `}`"},
        ErrCase{"LeadingOperator", in_requires("== 1"),
                "error at 6:1: expected an expression, found `==`"},
        ErrCase{"SetTypeBracket", in_requires("set < 1"),
                "error at 6:1: expected an expression, found keyword `set`"},
        ErrCase{"LexerErrorFirst", "name 5 @", "error at 1:8: unexpected character '@'"}),
    [](const auto& info) { return info.param.name; });

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(ParseNesting, ParenthesesUpTo41) {
  EXPECT_TRUE(parse(in_requires(repeat("(", 41) + "1" + repeat(")", 41))).ok());
  auto r = parse(in_requires(repeat("(", 42) + "1" + repeat(")", 42)));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "error at 6:43: expression nested too deeply (maximum depth is 256)");
  EXPECT_EQ(grammar::MAX_DEPTH, 256u);
}

TEST(ParseNesting, NotsUpTo250) {
  auto ok = parse(in_requires(repeat("not ", 250) + "True"));
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  auto r = parse(in_requires(repeat("not ", 251) + "True"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "error at 6:1005: expression nested too deeply (maximum depth is 256)");
}

TEST(ParseNesting, DeeplyNestedHostileInputFailsQuickly) {
  for (const char* open : {"(", "not ", "{", "-", "intent."}) {
    auto r = parse(in_requires(repeat(open, 200000)));
    EXPECT_FALSE(r.ok()) << open;
  }
}

// "1 + 1 + ... + 1" with n operands builds a left-nested tree of height n.
std::string ones(std::size_t n, const std::string& op = " + ") {
  std::string out = "1";
  for (std::size_t i = 1; i < n; ++i) out += op + "1";
  return out;
}

// Column (1-based) of the k-th (1-based) operator in ones(n, op).
std::size_t op_col(std::size_t k, const std::string& op = " + ") {
  return 1 + 1 + (k - 1) * (op.size() + 1) + op.find_first_not_of(' ');
}

std::string too_deep_at(std::size_t line, std::size_t col) {
  return "error at " + std::to_string(line) + ":" + std::to_string(col) +
         ": expression is too deep (maximum depth is 4096)";
}

constexpr std::size_t kMax = types::MAX_EXPR_DEPTH;

TEST(ParseHeight, ArithChainBoundaryUnderComparison) {
  // Chain over an Arith of height 4095: 4096 in all.
  auto ok = parse(in_requires(ones(kMax - 1) + " == 1"));
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  EXPECT_EQ(ast::height(ok->constraints[0].expr), kMax);

  // One operand more: the Arith is still allowed, the Chain above it is not
  // (its `==` stands where the next `+` would).
  auto at_cmp = parse(in_requires(ones(kMax) + " == 1"));
  ASSERT_FALSE(at_cmp.ok());
  EXPECT_EQ(at_cmp.error().to_string(), too_deep_at(6, op_col(kMax)));

  // Two more: the last `+` itself crosses the limit.
  auto at_plus = parse(in_requires(ones(kMax + 1) + " == 1"));
  ASSERT_FALSE(at_plus.ok());
  EXPECT_EQ(at_plus.error().to_string(), too_deep_at(6, op_col(kMax)));
}

TEST(ParseHeight, BareArithAndMulChains) {
  auto ok = parse(in_requires(ones(kMax)));
  ASSERT_TRUE(ok.ok()) << ok.error().to_string();
  EXPECT_EQ(ast::height(ok->constraints[0].expr), kMax);

  auto plus = parse(in_requires(ones(kMax + 1)));
  ASSERT_FALSE(plus.ok());
  EXPECT_EQ(plus.error().to_string(), too_deep_at(6, op_col(kMax)));

  auto mul = parse(in_requires(ones(kMax + 1, "*")));
  ASSERT_FALSE(mul.ok());
  EXPECT_EQ(mul.error().to_string(), too_deep_at(6, op_col(kMax, "*")));

  // Operators on separate lines: the position follows them.
  auto lines = parse(in_requires(ones(kMax + 1, " -\n")));
  ASSERT_FALSE(lines.ok());
  EXPECT_EQ(lines.error().to_string(), too_deep_at(6 + kMax - 1, 3));
}

// Each node kind checks the limit at its own operator.
struct HeightCase {
  std::string name;
  std::string expr;  // "$" stands for an Arith chain of height 4096
  std::size_t col;   // of the operator that crosses the limit
};

class ParseHeightAtOperator : public ::testing::TestWithParam<HeightCase> {};

TEST_P(ParseHeightAtOperator, Position) {
  const auto& c = GetParam();
  std::string expr = c.expr;
  const auto dollar = expr.find('$');
  const std::string deep = ones(kMax);
  expr.replace(dollar, 1, deep);
  // Columns after the "$" are given as if it were one character wide.
  const std::size_t col = c.col > dollar + 1 ? c.col + deep.size() - 1 : c.col;
  auto r = parse(in_requires(expr));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), too_deep_at(6, col));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ParseHeightAtOperator,
                         ::testing::Values(HeightCase{"ParenAtOpen", "($)", 1},
                                           HeightCase{"NotAtKeyword", "not $", 1},
                                           HeightCase{"SetOpFirstWord", "$ not in {1}", 3},
                                           HeightCase{"SubsetFirstWord", "{1} subset of $", 5},
                                           HeightCase{"ChainFirstOperand", "$ < 1 < 2", 3},
                                           HeightCase{"ChainLaterOperand", "1 == 1 == $ == 1", 8},
                                           HeightCase{"AndFirstOperand", "$ and True and True", 3},
                                           HeightCase{"AndLaterOperand", "True and True and $", 15},
                                           HeightCase{"OrLaterOperand", "True or $", 6},
                                           HeightCase{"ArithRhs", "1 * 1 - ($)", 9}),
                         [](const auto& info) { return info.param.name; });

TEST(ParseHeight, MillionOperandChainFailsAtTheLimit) {
  auto r = parse(in_requires(ones(1000000, "+")));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), too_deep_at(6, op_col(kMax, "+")));
}

TEST(ParseHeight, HelperMatchesTheRule) {
  auto r = parse(in_requires("not (1 + 2) in {1} and True"));
  ASSERT_TRUE(r.ok());
  // And > SetOp > Not > Paren > Arith > Literal.
  EXPECT_EQ(ast::height(r->constraints[0].expr), 6u);
  EXPECT_EQ(ast::too_deep_message(), "expression is too deep (maximum depth is 4096)");
}

TEST(ParseLimits, SourcesOverTwoGigabytesAreRefusedUpFront) {
  // Address space only: no page of the mapping is ever read.
  const std::size_t size = grammar::MAX_SOURCE_SIZE + 1;
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto r = parse(std::string_view(static_cast<const char*>(map), size));
  munmap(map, size);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "error at 1:1: template source is too large (maximum is 2147483647 bytes)");
}

// Runs `body` on a thread whose stack is exactly `bytes` long, whatever the
// test runner's own limit is.
bool run_with_stack(std::size_t bytes, const std::function<void()>& body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, bytes);
  pthread_t thread;
  auto* fn = new std::function<void()>(body);
  const int rc = pthread_create(
      &thread, &attr,
      [](void* arg) -> void* {
        auto* f = static_cast<std::function<void()>*>(arg);
        (*f)();
        delete f;
        return nullptr;
      },
      fn);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete fn;
    return false;
  }
  pthread_join(thread, nullptr);
  return true;
}

// Parsing, measuring and destroying the largest trees, and the deepest
// nesting, fit in the default 8 MiB stack (also with sanitizers, which make
// frames several times larger).
TEST(ParseHeight, MaximalTreesFitTheDefaultStack) {
  const std::string deepest = in_requires(ones(kMax - 1) + " == 1");
  const std::string too_deep = in_requires(ones(kMax + 1) + " == 1");
  const std::string parens = in_requires(repeat("(", 41) + ones(kMax - 42) + repeat(")", 41));
  const std::string nots = in_requires(repeat("not ", 250) + "True");
  bool done = false;
  ASSERT_TRUE(run_with_stack(8u << 20, [&] {
    auto a = parse(deepest);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(ast::height(a->constraints[0].expr), kMax);
    EXPECT_FALSE(parse(too_deep).ok());
    auto b = parse(parens);
    ASSERT_TRUE(b.ok()) << b.error().to_string();
    EXPECT_EQ(ast::height(b->constraints[0].expr), kMax - 1);
    EXPECT_TRUE(parse(nots).ok());
    done = true;
  }));
  EXPECT_TRUE(done);
}

// The constraints live in memory the parsed file owns; a file moved out of a
// parse result stays whole whichever of the two is destroyed first.
TEST(ParseFile, MovedFileAndItsSourceDieInEitherOrder) {
  const std::string src = in_requires("evidence.a < 1;\n  evidence.a > 0");
  {
    auto parsed = parse(src);
    ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
    const ast::File moved(std::move(*parsed));
    EXPECT_EQ(dump(moved.constraints[1].expr), dump(parse(src)->constraints[1].expr));
  }
  std::optional<ast::File> moved;
  {
    auto parsed = parse(src);
    ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
    moved.emplace(std::move(*parsed));
  }
  ASSERT_EQ(moved->constraints.size(), 2u);
  EXPECT_EQ(dump(moved->constraints[1].expr), dump(parse(src)->constraints[1].expr));
}

}  // namespace
}  // namespace verdane::parser
