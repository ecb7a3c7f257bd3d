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
using types::Type;

// Blanks only: an error at offset n is reported at 1:(n + 1).
const std::string kBlank(64, ' ');

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
  EXPECT_NE(&first.right(), &second.left());
  EXPECT_EQ(first.right(), second.left());
}

// A left-nested sum of `n` ones: n operands, height n.
ast::ExprAst sum_of_ones(std::size_t n) {
  ast::ExprAst e = int_lit(1);
  for (std::size_t i = 1; i < n; ++i) e = arith(ArithOp::Add, std::move(e), int_lit(1), 7);
  return e;
}

TEST(LowerAst, RecursionStopsOnTreesDeeperThanTheLimit) {
  // 4200 nested `not`s, beyond what the parser accepts. Lowering stops at the
  // 4097th level from the top (the `not` built at i = 103) instead of
  // recursing to the bottom and failing on the way back up (at i = 4095).
  ast::ExprAst e = bool_lit(true);
  for (std::size_t i = 0; i < 4200; ++i) e = not_(std::move(e), i % 50);
  ast::File f = file({}, {{"e", Type::Bool}}, std::move(e));
  auto r = lower(f, kBlank);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "error at 1:4: expression is too deep (maximum depth is 4096)");
}

TEST(LowerAst, ParenthesesDoNotCountTowardsTheLimit) {
  // A sum of 4095 ones under 50 parentheses and `== 1` is 4096 deep once the
  // parentheses are gone.
  ast::ExprAst e = sum_of_ones(4095);
  for (int i = 0; i < 50; ++i) e = paren(std::move(e));
  ast::File f =
      file({}, {{"e", Type::Bool}}, chain(list(std::move(e), int_lit(1)), {CmpOp::Eq}, {3}));
  auto r = lower(f, kBlank);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
}

}  // namespace
}  // namespace verdane::typeck
