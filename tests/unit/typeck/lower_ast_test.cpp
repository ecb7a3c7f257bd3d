// Lowering of hand-built syntax trees: shapes the parser cannot produce (an
// optional evidence field, trees past the parser's limits) and the exact
// structure of lowered chains.
#include <gtest/gtest.h>

#include "ast_builder.h"
#include "canonical/pretty.h"
#include "typeck/lower.h"

namespace verdane::typeck {
namespace {

using namespace testing_ast;
using ast::ArithOp;
using ast::CmpOp;
using ast::SetOpAst;
using Kind = errors::CompileError::Kind;
using types::Type;

// Blanks, and an `and` word at offset 40: an error at offset n is reported
// at 1:(n + 1).
const std::string kBlank = std::string(40, ' ') + "and" + std::string(21, ' ');

TEST(LowerAst, OptionalEvidenceFieldIsRejectedBeforeDuplicates) {
  // The second `a` is both optional and a duplicate: the optional check wins.
  ast::File f = file({}, {{"a", Type::Int, false, 3}, {"a", Type::Int, true, 9}}, bool_lit(true));
  auto r = lower(f, kBlank);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "error at 1:10: `optional` is not allowed on evidence fields");
}

TEST(LowerAst, ChainMiddleOperandIsCopiedNotShared) {
  // intent.x < intent.y < intent.z
  ast::File f =
      file({{"x", Type::Int}, {"y", Type::Int}, {"z", Type::Int}}, {{"e", Type::Bool}},
           chain(list(intent("x"), intent("y"), intent("z")), {CmpOp::Lt, CmpOp::Lt}, {2, 5}));
  auto r = lower(f, kBlank);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const types::Expr& e = r->constraints.at(0).expr;
  EXPECT_EQ(canonical::pretty_expr(e), "((intent.x < intent.y) and (intent.y < intent.z))");
  const auto& ops = std::get<types::And>(e.node).operands;
  const auto& first = std::get<types::Lt>(ops[0].node);
  const auto& second = std::get<types::Lt>(ops[1].node);
  EXPECT_NE(first.right.get(), second.left.get());
  EXPECT_EQ(*first.right, *second.left);
}

// A left-nested sum of `n` ones: n operands, height n.
ast::ExprAst sum_of_ones(std::size_t n) {
  ast::ExprAst e = int_lit(1);
  for (std::size_t i = 1; i < n; ++i) e = arith(ArithOp::Add, std::move(e), int_lit(1), 7);
  return e;
}

struct DepthCase {
  std::string name;
  std::size_t ones;  // operands of the innermost sum
  // Wraps the sum into the constraint under test.
  ast::ExprAst (*wrap)(ast::ExprAst);
  bool ok;
  std::size_t error_col;  // when !ok
};

class LowerDepthTest : public testing::TestWithParam<DepthCase> {};

TEST_P(LowerDepthTest, Boundary) {
  const DepthCase& c = GetParam();
  ast::File f = file({}, {{"e", Type::Bool}}, c.wrap(sum_of_ones(c.ones)));
  auto r = lower(f, kBlank);
  if (c.ok) {
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    return;
  }
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), Kind::Syntax);
  EXPECT_EQ(r.error().message(), "expression is too deep (maximum depth is 4096)");
  EXPECT_EQ(r.error().col(), c.error_col);
}

ast::ExprAst eq_one(ast::ExprAst e) {
  return chain(list(std::move(e), int_lit(1)), {CmpOp::Eq}, {3});
}
// sum < 1 < 1: And over two comparisons, one level more than the chain node.
ast::ExprAst two_op_chain(ast::ExprAst e) {
  return chain(list(std::move(e), int_lit(1), int_lit(1)), {CmpOp::Lt, CmpOp::Lt}, {11, 13});
}
// (sum) == 1 < 1 ... the sum in the middle of the chain.
ast::ExprAst middle_chain(ast::ExprAst e) {
  return chain(list(int_lit(1), std::move(e), int_lit(1)), {CmpOp::Le, CmpOp::Lt}, {11, 13});
}
ast::ExprAst not_in(ast::ExprAst e) {
  ast::LiteralAst set = ast::SetLiteral{{ast::SetElement(std::int64_t{1})}};
  return set_op(SetOpAst::NotIn, std::move(e), lit(std::move(set)), 20);
}
ast::ExprAst in(ast::ExprAst e) {
  ast::LiteralAst set = ast::SetLiteral{{ast::SetElement(std::int64_t{1})}};
  return set_op(SetOpAst::In, std::move(e), lit(std::move(set)), 20);
}
// not (sum == 1), with the `not` word at offset 30.
ast::ExprAst negated_eq(ast::ExprAst e) { return not_(eq_one(std::move(e)), 30); }

ast::ExprAst and_after_true(ast::ExprAst e) { return and_(bool_lit(true), not_in(std::move(e))); }
ast::ExprAst and_after_chain(ast::ExprAst e) {
  return and_(two_op_chain(std::move(e)), bool_lit(true));
}

// Every tree here is at most 4096 deep as written, which the parser allows;
// the failing ones grow past the limit only through lowering (a chain's And,
// the Not of `not in`, and connectives above those).
INSTANTIATE_TEST_SUITE_P(
    Cases, LowerDepthTest,
    testing::Values(DepthCase{"EqAtLimit", 4095, eq_one, true, 0},
                    DepthCase{"ChainAndAtLimit", 4094, two_op_chain, true, 0},
                    DepthCase{"ChainAndOverLimit", 4095, two_op_chain, false, 12},
                    DepthCase{"ChainMiddleAndOverLimit", 4095, middle_chain, false, 12},
                    DepthCase{"InAtLimit", 4095, in, true, 0},
                    DepthCase{"NotInAtLimit", 4094, not_in, true, 0},
                    DepthCase{"NotInOverLimit", 4095, not_in, false, 21},
                    DepthCase{"NotAtLimit", 4094, negated_eq, true, 0},
                    DepthCase{"AndAtLimit", 4093, and_after_true, true, 0},
                    // At the `and` word, found in the source after the first operand.
                    DepthCase{"AndOverLimit", 4094, and_after_true, false, 41},
                    DepthCase{"AndOverLimitFirstOperand", 4094, and_after_chain, false, 41}),
    [](const testing::TestParamInfo<DepthCase>& info) { return info.param.name; });

TEST(LowerAst, RecursionStopsOnTreesDeeperThanTheLimit) {
  // 4200 nested `not`s, beyond what the parser accepts: lowering must
  // stop at the limit instead of recursing through the whole tree.
  ast::ExprAst e = bool_lit(true, 5);
  for (int i = 0; i < 4200; ++i) e = not_(std::move(e), 2);
  ast::File f = file({}, {{"e", Type::Bool}}, std::move(e));
  auto r = lower(f, kBlank);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "expression is too deep (maximum depth is 4096)");
}

TEST(LowerAst, ParenthesesDoNotCountTowardsTheLimit) {
  // A sum of 4095 ones under 50 parentheses and `== 1` is 4096 deep once the
  // parentheses are gone.
  ast::ExprAst e = sum_of_ones(4095);
  for (int i = 0; i < 50; ++i) e = paren(std::move(e));
  ast::File f = file({}, {{"e", Type::Bool}}, eq_one(std::move(e)));
  auto r = lower(f, kBlank);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
}

}  // namespace
}  // namespace verdane::typeck
