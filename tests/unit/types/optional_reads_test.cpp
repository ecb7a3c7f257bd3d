#include "types/optional_reads.h"

#include <gtest/gtest.h>

#include "common/builders.h"

namespace verdane::test {
namespace {

using types::IntentSchema;
using types::optional_fields_read;
using types::Type;

IntentSchema schema() {
  IntentSchema s;
  s.fields["amount"] = {Type::Int, false};
  s.fields["cap"] = {Type::Int, true};
  s.fields["limit"] = {Type::Int, true};
  return s;
}

TEST(OptionalFieldsRead, DeclaredOptionalIntentFieldsEverywhereOnceInByteOrder) {
  const Expr e =
      Or(Not(B<types::In>(I("limit"), Ints({}))), And(B<types::Add>(I("amount"), I("cap"))),
         B<types::Eq>(E("cap"), I("undeclared")), I("limit"));
  EXPECT_EQ(optional_fields_read(schema(), e), (std::vector<std::string>{"cap", "limit"}));
  EXPECT_TRUE(optional_fields_read(schema(), B<types::Eq>(E("cap"), I("amount"))).empty());
}

TEST(OptionalFieldsRead, ATreeAtTheDepthLimitIsWalkedWithoutRecursion) {
  Expr e = I("cap");
  for (std::size_t i = 1; i < types::MAX_EXPR_DEPTH; ++i) e = Not(std::move(e));
  EXPECT_EQ(optional_fields_read(schema(), e), (std::vector<std::string>{"cap"}));
}

}  // namespace
}  // namespace verdane::test
