// Lowering driven by template source: every type error with its position,
// chains, `{}` typing, the optional rules and the shapes of lowered trees.
#include <gtest/gtest.h>

#include <string>

#include "canonical/pretty.h"
#include "parser/parse.h"
#include "typeck/lower.h"

namespace verdane::typeck {
namespace {

using types::Type;

// Every case's constraint goes on line kLine, after two blanks.
constexpr const char* kPrefix =
    "name t\n"
    "intent {\n"
    "  i: int\n"
    "  j: int\n"
    "  k: int\n"
    "  s: string\n"
    "  d: date\n"
    "  b: bool\n"
    "  is: set<int>\n"
    "  ss: set<string>\n"
    "  ds: set<date>\n"
    "  lim: optional int\n"
    "  tags: optional set<string>\n"
    "}\n"
    "evidence {\n"
    "  v: int\n"
    "  i: string\n"  // also an intent field, of another type
    "  ok: bool\n"
    "}\n"
    "requires {\n"
    "  ";
constexpr std::size_t kLine = 21;

Result<types::PolicyTemplate, errors::CompileError> compile_source(const std::string& src) {
  auto file = parser::parse(src);
  if (!file) return make_err(std::move(file).error());
  return lower(*file, src);
}

Result<types::PolicyTemplate, errors::CompileError> compile_constraint(const std::string& c) {
  return compile_source(kPrefix + c + "\n}\n");
}

struct ErrorCase {
  std::string name;
  std::string constraint;
  std::size_t col;  // 1-based, within the constraint text
  std::string message;
};

class LowerErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(LowerErrorTest, ReportsFirstErrorAtItsPosition) {
  const ErrorCase& c = GetParam();
  auto r = compile_constraint(c.constraint);
  ASSERT_FALSE(r.ok()) << c.constraint;
  EXPECT_EQ(r.error().to_string(), "error at " + std::to_string(kLine) + ":" +
                                       std::to_string(c.col + 2) + ": " + c.message);
}

const char* const kUntyped =
    "cannot infer the type of a comparison chain made only of empty set literals";
const char* const kChainMismatch = "comparison operands must all have the same type";

INSTANTIATE_TEST_SUITE_P(
    Fields, LowerErrorTest,
    testing::Values(ErrorCase{"UndeclaredIntent", "intent.zz == 1", 1,
                              "the field 'zz' has not been declared in the schema"},
                    ErrorCase{"UndeclaredEvidence", "1 == evidence.lim", 6,
                              "the field 'lim' has not been declared in the schema"},
                    // Declared in both schemas: each side resolves to its own type.
                    ErrorCase{"SameNameOtherSchema", "intent.i == evidence.i", 13, kChainMismatch}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Constraints, LowerErrorTest,
    testing::Values(
        ErrorCase{"NotBool", "intent.i + 1", 1, "constraints must evaluate to bool"},
        ErrorCase{"NotBoolParenthesised", "(intent.s)", 1, "constraints must evaluate to bool"},
        // The type error comes before the optional rules.
        ErrorCase{"NotBoolBeforeOptionalRule", "intent.lim", 1,
                  "constraints must evaluate to bool"},
        ErrorCase{"OptionalPrefixRequired", "True and intent.lim > 3", 1,
                  "constraints that reference optional fields must use the 'optional:' prefix"},
        ErrorCase{"OptionalPrefixRequiredSet", "not (intent.tags == {})", 1,
                  "constraints that reference optional fields must use the 'optional:' prefix"},
        ErrorCase{"OptionalWithoutOptionalField", "optional: evidence.v == 1", 1,
                  "an 'optional:' constraint must reference at least one optional intent field"},
        ErrorCase{"OptionalOverRequiredIntentField", "optional:\n  intent.i > 3", 1,
                  "an 'optional:' constraint must reference at least one optional intent field"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Operators, LowerErrorTest,
    testing::Values(
        ErrorCase{"NotOfInt", "not 1", 5, "expected an expression of type bool, found int"},
        ErrorCase{"NotOfParenthesisedSet", "not (intent.is)", 5,
                  "expected an expression of type bool, found set<int>"},
        ErrorCase{"AndOperand", "True and 1", 10, "expected an expression of type bool, found int"},
        ErrorCase{"OrFirstOperand", "intent.d or True", 1,
                  "expected an expression of type bool, found date"},
        // Each operand is checked right after it is lowered.
        ErrorCase{"AndStopsAtFirstBadOperand", "1 and intent.zz", 1,
                  "expected an expression of type bool, found int"},
        ErrorCase{"ArithBool", "intent.i + True == 1", 10, "arithmetic operands must be int"},
        ErrorCase{"ArithString", "2 * intent.s == 1", 3, "arithmetic operands must be int"},
        ErrorCase{"ArithOperandErrorFirst", "intent.zz - True == 1", 1,
                  "the field 'zz' has not been declared in the schema"},
        ErrorCase{"ArithRightOperandErrorFirst", "True - intent.zz == 1", 8,
                  "the field 'zz' has not been declared in the schema"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Chains, LowerErrorTest,
    testing::Values(
        ErrorCase{"IntAgainstBool", "1 == True", 6, kChainMismatch},
        // Found only after all three operands are lowered.
        ErrorCase{"DateAtTheEnd", "1 < 2 <= intent.d", 10, kChainMismatch},
        ErrorCase{"OperandErrorsBeforePairs", "1 < intent.d < intent.zz", 16,
                  "the field 'zz' has not been declared in the schema"},
        ErrorCase{"FirstMismatchingPair", "intent.s == \"a\" == 1 == True", 20, kChainMismatch},
        ErrorCase{"OrderingStrings", "\"a\" < \"b\"", 5,
                  "ordering comparisons are not allowed for string"},
        ErrorCase{"OrderingBools", "True == True >= False", 14,
                  "ordering comparisons are not allowed for bool"},
        ErrorCase{"OrderingSets", "intent.is <= {1}", 11,
                  "ordering comparisons are not allowed for set<int>"},
        // The mismatch of the first pair wins over the ordering of the second.
        ErrorCase{"MismatchBeforeLaterOrdering", "1 == \"a\" < \"b\"", 6, kChainMismatch}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SetOperators, LowerErrorTest,
    testing::Values(
        ErrorCase{"InElementMismatch", "intent.s in {1}", 1,
                  "the left operand of 'in' must have type int to match the set on the right, "
                  "found string"},
        ErrorCase{"InSetOfSets", "intent.is in intent.is", 1,
                  "the left operand of 'in' must have type int to match the set on the right, "
                  "found set<int>"},
        ErrorCase{"InRightNotSet", "intent.i in 3", 13,
                  "the right operand of 'in' must be a set, found int"},
        ErrorCase{"NotInRightNotSet", "intent.i not in (intent.s)", 17,
                  "the right operand of 'in' must be a set, found string"},
        ErrorCase{"NotInElementMismatch", "intent.d not in {\"x\"}", 1,
                  "the left operand of 'in' must have type string to match the set on the "
                  "right, found date"},
        ErrorCase{"SubsetDifferentSets", "intent.is subset of intent.ss", 21,
                  "operands must have the same type"},
        ErrorCase{"SubsetOfInts", "1 subset of 2", 13, "operands must have the same type"},
        ErrorCase{"SupersetLiteral", "intent.is superset of {\"a\"}", 23,
                  "operands must have the same type"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SetLiterals, LowerErrorTest,
    testing::Values(
        ErrorCase{"Mixed", "intent.i in {1, \"a\"}", 13, "set literals must be homogeneous"},
        // Homogeneity is checked before duplicates.
        ErrorCase{"MixedAndDuplicated", "intent.i in {1, 1, \"a\"}", 13,
                  "set literals must be homogeneous"},
        ErrorCase{"DuplicateInts", "intent.i in {1, 2, 1}", 13, "duplicate element in set literal"},
        ErrorCase{"DuplicateNegativeInts", "intent.i in {-1, 2, -1}", 13,
                  "duplicate element in set literal"},
        ErrorCase{"DuplicateStrings", "intent.s in {\"a\", \"b\", \"a\"}", 13,
                  "duplicate element in set literal"},
        ErrorCase{"DuplicateDates", "intent.d in {date(2024-01-02), date( 2024-01-02 )}", 13,
                  "duplicate element in set literal"}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    EmptySets, LowerErrorTest,
    testing::Values(ErrorCase{"ChainOfEmptySets", "{} == {}", 4, kUntyped},
                    ErrorCase{"LongChainOfEmptySets", "{} == {} == {}", 4, kUntyped},
                    ErrorCase{"SubsetOfEmptySets", "{} subset of {}", 4, kUntyped},
                    ErrorCase{"SupersetOfEmptySets", "{} superset of {}", 4, kUntyped},
                    ErrorCase{"AgainstInt", "intent.i == {}", 13, kUntyped},
                    ErrorCase{"AgainstIntOnTheLeft", "{} == intent.i", 1, kUntyped},
                    ErrorCase{"InOfBool", "True in {}", 9, kUntyped},
                    // A parenthesised {} is no bare {}: it is lowered first, untyped.
                    ErrorCase{"ParenthesisedLeftOfSubset", "({}) subset of intent.is", 2, kUntyped},
                    ErrorCase{"ParenthesisedInChain", "({}) == intent.is", 2, kUntyped},
                    ErrorCase{"ParenthesisedChainOfEmptySets", "({}) == {}", 2, kUntyped},
                    // ... and on the right of `subset of` it gets no expectation either.
                    ErrorCase{"ParenthesisedRightOfSubset", "intent.is subset of (({}))", 23,
                              kUntyped},
                    ErrorCase{"SubsetAgainstInt", "{} subset of intent.i", 1, kUntyped},
                    ErrorCase{"NotOfEmptySet", "not {}", 5, kUntyped},
                    ErrorCase{"ArithOfEmptySet", "{} + 1 == 1", 1, kUntyped}),
    [](const auto& info) { return info.param.name; });

struct ShapeCase {
  std::string name;
  std::string constraint;
  std::string lowered;  // canonical text of the lowered expression
};

class LowerShapeTest : public testing::TestWithParam<ShapeCase> {};

TEST_P(LowerShapeTest, LowersTo) {
  const ShapeCase& c = GetParam();
  auto r = compile_constraint(c.constraint);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(r->constraints.size(), 1u);
  EXPECT_EQ(canonical::pretty_expr(r->constraints[0].expr), c.lowered);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LowerShapeTest,
    testing::Values(
        ShapeCase{"SingleComparison", "intent.i <= 100", "(intent.i <= 100)"},
        ShapeCase{"ChainBecomesAnd", "intent.i < intent.j < intent.k",
                  "((intent.i < intent.j) and (intent.j < intent.k))"},
        ShapeCase{"MixedChain", "1 <= intent.i < intent.j == 7",
                  "((1 <= intent.i) and (intent.i < intent.j) and (intent.j == 7))"},
        ShapeCase{"DatesOrder", "date(2024-01-31) < intent.d", "(date(2024-01-31) < intent.d)"},
        ShapeCase{"BoolsAndSetsCompareForEquality", "True == False == (intent.is == {1})",
                  "((True == False) and (False == (intent.is == {1})))"},
        ShapeCase{"EmptySetInsideChain", "intent.ss == {} == intent.ss",
                  "((intent.ss == {}) and ({} == intent.ss))"},
        ShapeCase{"ParenthesesVanish", "(((intent.b)))", "intent.b"},
        ShapeCase{"NotIn", "intent.i not in {2, 1}", "(not (intent.i in {1, 2}))"},
        ShapeCase{"SetOrdered", "intent.ss == {\"b\", \"a\", \"Zed\"}",
                  "(intent.ss == {\"Zed\", \"a\", \"b\"})"},
        ShapeCase{"NegativeElements", "intent.i in {3, -2, 10}", "(intent.i in {-2, 3, 10})"},
        ShapeCase{"NestedConnectivesStayNested", "intent.b and (evidence.ok or intent.b)",
                  "(intent.b and (evidence.ok or intent.b))"},
        ShapeCase{"AndIsNary", "True and False and intent.b", "(True and False and intent.b)"},
        ShapeCase{"ArithLeftNested", "intent.i - 1 - 2 * 3 == 0",
                  "(((intent.i - 1) - (2 * 3)) == 0)"},
        ShapeCase{"NotNot", "not not intent.b", "(not (not intent.b))"},
        ShapeCase{"SameNameBothSchemas", "intent.i == 1 and evidence.i == \"x\"",
                  "((intent.i == 1) and (evidence.i == \"x\"))"},
        ShapeCase{"Superset", "intent.ss superset of {\"a\"}", "(intent.ss superset of {\"a\"})"}),
    [](const auto& info) { return info.param.name; });

// `{}` takes its type from its context.
struct EmptySetCase {
  std::string name;
  std::string constraint;
  Type type;  // of the empty set literal
};

class LowerEmptySetTest : public testing::TestWithParam<EmptySetCase> {};

// The first empty set literal of `expr`, depth first.
const types::Literal* find_empty_set(const types::Expr& expr) {
  if (const auto* lit = std::get_if<types::Literal>(&expr.node)) {
    const bool empty = std::visit(
        [](const auto& v) {
          if constexpr (requires { v.empty(); } &&
                        !std::is_same_v<decltype(v), const std::string&>) {
            return v.empty();
          }
          return false;
        },
        lit->data);
    return empty ? lit : nullptr;
  }
  if (const types::Binary* b = expr.binary()) {
    if (const auto* found = find_empty_set(b->left())) return found;
    return find_empty_set(b->right());
  }
  if (const auto* n = std::get_if<types::Not>(&expr.node)) return find_empty_set(*n->operand);
  return nullptr;
}

TEST_P(LowerEmptySetTest, TypedFromContext) {
  const EmptySetCase& c = GetParam();
  auto r = compile_constraint(c.constraint);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const types::Literal* lit = find_empty_set(r->constraints.at(0).expr);
  ASSERT_NE(lit, nullptr);
  EXPECT_EQ(lit->type(), c.type);
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, LowerEmptySetTest,
    testing::Values(EmptySetCase{"ChainRight", "intent.ss == {}", Type::StringSet},
                    EmptySetCase{"ChainLeft", "{} == intent.ds", Type::DateSet},
                    EmptySetCase{"InRight", "intent.i in {}", Type::IntSet},
                    EmptySetCase{"InRightParenthesised", "intent.d in ({})", Type::DateSet},
                    EmptySetCase{"NotInRight", "intent.s not in {}", Type::StringSet},
                    EmptySetCase{"SubsetLeft", "{} subset of intent.is", Type::IntSet},
                    EmptySetCase{"SubsetRight", "intent.ss subset of {}", Type::StringSet},
                    EmptySetCase{"SupersetLeft", "{} superset of intent.ds", Type::DateSet}),
    [](const auto& info) { return info.param.name; });

TEST(LowerSource, OptionalConstraintsAreFlagged) {
  auto r = compile_source(std::string(kPrefix) +
                          "optional: intent.lim > 3 or evidence.ok;\n"
                          "  optional: intent.tags == {};\n"
                          "  intent.i > 3\n}\n");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  ASSERT_EQ(r->constraints.size(), 3u);
  EXPECT_TRUE(r->constraints[0].optional);
  EXPECT_TRUE(r->constraints[1].optional);
  EXPECT_FALSE(r->constraints[2].optional);
}

TEST(LowerSource, SchemasAreOrderedByName) {
  auto r = compile_source(
      "name n\nintent {\n  zeta: int\n  alpha: optional date\n  Zed: bool\n}\n"
      "evidence {\n  zeta: set<int>\n}\nrequires { True }\n");
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  types::IntentSchema intent;
  intent.fields = {
      {"Zed", {Type::Bool, false}}, {"alpha", {Type::Date, true}}, {"zeta", {Type::Int, false}}};
  EXPECT_EQ(r->intent_schema, intent);
  ASSERT_EQ(r->evidence_schema.fields.size(), 1u);
  EXPECT_EQ(r->evidence_schema.fields.at("zeta").type, Type::IntSet);
  EXPECT_EQ(r->intent_schema.fields.begin()->first, "Zed");
  EXPECT_EQ(r->name, "n");
}

struct FileErrorCase {
  std::string name;
  std::string source;
  std::string error;
};

class LowerFileErrorTest : public testing::TestWithParam<FileErrorCase> {};

TEST_P(LowerFileErrorTest, Fails) {
  auto r = compile_source(GetParam().source);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LowerFileErrorTest,
    testing::Values(
        FileErrorCase{
            "DuplicateIntentField",
            "name t\nintent {\n  a: int\n  b: int\n  a: date\n}\nevidence {\n  a: int\n}\n"
            "requires { True }\n",
            "error at 5:3: duplicate intent field 'a'"},
        FileErrorCase{"DuplicateEvidenceField",
                      "name t\nevidence {\n  x: int\n  x: int\n}\nrequires { True }\n",
                      "error at 4:3: duplicate evidence field 'x'"},
        // Schemas are checked before any constraint.
        FileErrorCase{"SchemasBeforeConstraints",
                      "name t\nevidence {\n  x: int\n  x: int\n}\nrequires { 1 }\n",
                      "error at 4:3: duplicate evidence field 'x'"},
        FileErrorCase{"NoIntentBlock",
                      "name t\nevidence {\n  x: int\n}\nrequires { intent.x == 1 }\n",
                      "error at 5:12: the field 'x' has not been declared in the schema"},
        // Constraints are lowered in order; the first failing one reports.
        FileErrorCase{"FirstFailingConstraint",
                      "name t\nevidence {\n  x: int\n}\nrequires {\n  evidence.x == 1;\n"
                      "  evidence.x == True;\n  evidence.y\n}\n",
                      "error at 7:17: comparison operands must all have the same type"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace verdane::typeck
