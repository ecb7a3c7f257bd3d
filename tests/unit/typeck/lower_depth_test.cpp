// The expression depth limit from source: trees that the parser accepts but
// that lowering makes one level deeper, on both sides of the limit, and a
// template at the limit taken through every later pass.
#include <gtest/gtest.h>

#include <string>

#include "canonical/pretty.h"
#include "common/reference/load.h"
#include "evaluator/evaluate.h"
#include "korvel_crypto/hash.h"
#include "korvel_serializers/bytes.h"
#include "parser/parse.h"
#include "readable/readable_print.h"
#include "typeck/lower.h"

namespace verdane::typeck {
namespace {

constexpr const char* kPrefix = "name t\nevidence {\n  x: int\n}\nrequires {\n  ";
constexpr std::size_t kLine = 6;
constexpr const char* kTooDeep = "expression is too deep (maximum depth is 4096)";

// "1 + 1 + ... + 1" with n operands: a left-nested tree n levels deep.
std::string sum_of_ones(std::size_t n) {
  std::string s = "1";
  for (std::size_t i = 1; i < n; ++i) s += " + 1";
  return s;
}

Result<types::PolicyTemplate, errors::CompileError> compile_constraint(const std::string& c) {
  const std::string src = kPrefix + c + "\n}\n";
  auto file = parser::parse(src);
  if (!file) return make_err(std::move(file).error());
  return lower(*file, src);
}

struct DepthCase {
  std::string name;
  std::string head;  // text before the sum
  std::size_t ones;  // operands of the sum
  std::string tail;  // text after the sum
  // 0 when the template compiles; else the column of the error within
  // head + sum + tail, counted from the start of the tail when positive.
  std::size_t tail_col;
  std::size_t head_col = 0;  // column within head, when the error is there
};

class SourceDepthTest : public testing::TestWithParam<DepthCase> {};

TEST_P(SourceDepthTest, Boundary) {
  const DepthCase& c = GetParam();
  const std::string sum = sum_of_ones(c.ones);
  auto r = compile_constraint(c.head + sum + c.tail);
  if (c.tail_col == 0 && c.head_col == 0) {
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    return;
  }
  ASSERT_FALSE(r.ok());
  const std::size_t col = c.head_col != 0 ? c.head_col : c.head.size() + sum.size() + c.tail_col;
  EXPECT_EQ(r.error().to_string(),
            "error at " + std::to_string(kLine) + ":" + std::to_string(col + 2) + ": " + kTooDeep);
}

INSTANTIATE_TEST_SUITE_P(Cases, SourceDepthTest,
                         testing::Values(
                             // A comparison over a sum of 4095 is exactly 4096 deep.
                             DepthCase{"ComparisonAtLimit", "", 4095, " == 1", 0},
                             // One more operand: the parser itself refuses the comparison.
                             DepthCase{"ComparisonOverLimit", "", 4096, " == 1", 2},
                             // A two-operator chain: the parser sees 4096 levels, lowering adds
                             // the And above the comparisons and reports at the first operator.
                             DepthCase{"ChainAtLimit", "", 4094, " < 1 < 2", 0},
                             DepthCase{"ChainOverLimit", "", 4095, " < 1 < 2", 2},
                             DepthCase{"ChainMiddleOverLimit", "0 < ", 4095, " < 5000", 0, 3},
                             // `not in` becomes Not(In(..)), reported at the `not`.
                             DepthCase{"NotInAtLimit", "", 4094, " not in {1}", 0},
                             DepthCase{"NotInOverLimit", "", 4095, " not in {1}", 2},
                             // A connective over a lowered chain: reported at the `and` word.
                             DepthCase{"AndAtLimit", "True and ", 4093, " < 1 < 2", 0},
                             DepthCase{"AndOverLimit", "True and ", 4094, " < 1 < 2", 0, 6},
                             // Parentheses vanish, so a parenthesised chain is no deeper.
                             DepthCase{"ParenthesisedChainAtLimit", "True and (", 4093, " < 1 < 2)",
                                       0}),
                         [](const auto& info) { return info.param.name; });

// The connective's position is found in the source, past comments and line
// breaks.
TEST(SourceDepth, ErrorBehindCommentIsAtTheConnective) {
  const std::string sum = sum_of_ones(4094);
  auto r = compile_constraint(sum + " not in {1} # c\n  or True");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "error at 7:3: " + std::string(kTooDeep));
}

// A template whose constraints reach the limit in every deep shape: the sum
// alone, a chain with the sum in the middle (copied into two comparisons) and
// `not in` under `and`. Every later pass must handle it on the default stack
// (and under the sanitizers in that build).
std::string deepest_template() {
  const std::string sum = sum_of_ones(4094);
  return std::string(kPrefix) + sum + " * 1 == evidence.x;\n  0 < " + sum +
         " < 5000;\n  True and " + sum_of_ones(4093) + " not in {1}\n}\n";
}

types::PolicyTemplate compile_deepest() {
  const std::string src = deepest_template();
  auto file = parser::parse(src);
  EXPECT_TRUE(file.ok()) << file.error().to_string();
  if (!file) return {};
  auto tmpl = lower(*file, src);
  EXPECT_TRUE(tmpl.ok()) << tmpl.error().to_string();
  if (!tmpl) return {};
  return std::move(tmpl).value();
}

TEST(SourceDepth, CodecAndRenderingsHandleTheDeepestTree) {
  const types::PolicyTemplate tmpl = compile_deepest();
  ASSERT_EQ(tmpl.constraints.size(), 3u);
  korvel::serializers::BytesSerializer codec;
  auto bytes = codec.serialize(tmpl);
  ASSERT_TRUE(bytes.ok());
  auto digest = korvel::crypto::TryHash256::try_hash_sha256(tmpl);
  ASSERT_TRUE(digest.ok());
  auto decoded = codec.deserialize(*bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
  EXPECT_TRUE(*decoded == tmpl);
  EXPECT_FALSE(readable::readable_print(*decoded).empty());
  for (const types::Constraint& c : decoded->constraints) {
    EXPECT_FALSE(canonical::pretty_expr(c.expr).empty());
  }
}

TEST(SourceDepth, EvaluationHandlesTheDeepestTree) {
  const types::PolicyTemplate tmpl = compile_deepest();
  ASSERT_EQ(tmpl.constraints.size(), 3u);
  auto intent_doc = runtime_input::parse_json("{}");
  auto evidence_doc = runtime_input::parse_json("{\"x\": 4094}");
  ASSERT_TRUE(intent_doc.ok() && evidence_doc.ok());
  auto intent = runtime_input::load_intent(tmpl.intent_schema, *intent_doc);
  auto evidence = runtime_input::load_evidence(tmpl.evidence_schema, *evidence_doc);
  ASSERT_TRUE(intent.ok() && evidence.ok());
  const evaluator::Evaluation result = evaluator::evaluate(tmpl, *intent, *evidence);
  const auto* decision = std::get_if<evaluator::Decision>(&result);
  ASSERT_NE(decision, nullptr);
  EXPECT_EQ(decision->kind, evaluator::Decision::Kind::Pass);
}

}  // namespace
}  // namespace verdane::typeck
