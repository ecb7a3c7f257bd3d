#include "types/model.h"

#include <gtest/gtest.h>

#include "types/value.h"

namespace verdane::types {
namespace {

struct TypeCase {
  Type type;
  std::string_view text;
  std::optional<Type> element;
  std::optional<Type> set_of;
};

class TypeRelationsTest : public testing::TestWithParam<TypeCase> {};

TEST_P(TypeRelationsTest, TextAndRelations) {
  const TypeCase& c = GetParam();
  EXPECT_EQ(type_text(c.type), c.text);
  EXPECT_EQ(element_type(c.type), c.element);
  EXPECT_EQ(set_type_of(c.type), c.set_of);
  EXPECT_EQ(is_set_type(c.type), c.element.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    AllTypes, TypeRelationsTest,
    testing::Values(TypeCase{Type::Bool, "bool", std::nullopt, std::nullopt},
                    TypeCase{Type::Int, "int", std::nullopt, Type::IntSet},
                    TypeCase{Type::String, "string", std::nullopt, Type::StringSet},
                    TypeCase{Type::Date, "date", std::nullopt, Type::DateSet},
                    TypeCase{Type::IntSet, "set<int>", Type::Int, std::nullopt},
                    TypeCase{Type::StringSet, "set<string>", Type::String, std::nullopt},
                    TypeCase{Type::DateSet, "set<date>", Type::Date, std::nullopt}));

TEST(Model, VariantIndicesMatchTypes) {
  EXPECT_EQ(Literal{Scalar{std::int64_t{1}}}.type(), Type::Int);
  EXPECT_EQ(Literal{Scalar{DateSet{}}}.type(), Type::DateSet);
  EXPECT_EQ(make_not(make_literal(true)).kind(), ExprKind::Not);
  EXPECT_EQ(Expr{Or{}}.kind(), ExprKind::Or);
  EXPECT_EQ(static_cast<std::size_t>(ExprKind::Or) + 1, EXPR_KIND_COUNT);
  EXPECT_EQ(std::variant_size_v<Expr::Node>, EXPR_KIND_COUNT);
}

TEST(Model, DatesOrderByYearThenMonthThenDay) {
  EXPECT_LT((DateLit{-1, 12, 31}), (DateLit{0, 1, 1}));
  EXPECT_LT((DateLit{2024, 1, 31}), (DateLit{2024, 2, 1}));
  EXPECT_LT((DateLit{2024, 2, 1}), (DateLit{2024, 2, 2}));
  EXPECT_LT((DateLit{0, 12, 31}), (DateLit{1, 1, 1}));
}

TEST(Model, SetsAreSortedAndUnique) {
  const IntSet ints{3, 1, 2, 3};
  EXPECT_EQ(ints.items(), (std::vector<std::int64_t>{1, 2, 3}));
  const StringSet texts{"b", "a", "Zed", "\xC3\xA4"};
  // Byte order: upper case before lower case, non-ASCII after ASCII.
  EXPECT_EQ(texts.items(), (std::vector<std::string>{"Zed", "a", "b", "\xC3\xA4"}));
  IntSet grown;
  EXPECT_TRUE(grown.insert(5));
  EXPECT_TRUE(grown.insert(-5));
  EXPECT_FALSE(grown.insert(5));
  EXPECT_EQ(grown.items(), (std::vector<std::int64_t>{-5, 5}));
  EXPECT_TRUE(IntSet{}.is_subset_of(ints));
  EXPECT_TRUE((IntSet{1, 3}.is_subset_of(ints)));
  EXPECT_FALSE((IntSet{1, 4}.is_subset_of(ints)));
}

TEST(Model, SchemasIterateInByteOrder) {
  IntentSchema schema;
  for (const char* name : {"zeta", "alpha", "Zed"}) schema.fields[name] = {Type::Int, false};
  std::vector<std::string> order;
  for (const auto& [name, field] : schema.fields) order.push_back(name);
  EXPECT_EQ(order, (std::vector<std::string>{"Zed", "alpha", "zeta"}));
}

TEST(Model, DeepCopyIsIndependentAndEqual) {
  And conj;
  conj.operands.push_back(make_binary<Lt>(Expr{IntentField{"a"}}, Expr{IntentField{"b"}}));
  conj.operands.push_back(make_not(make_literal(StringSet{"x", "y"})));
  const Expr original{std::move(conj)};
  Expr copy = deep_copy(original);
  EXPECT_EQ(copy, original);
  std::get<IntentField>(std::get<Lt>(std::get<And>(copy.node).operands[0].node).left().node).name =
      "changed";
  EXPECT_FALSE(copy == original);
  EXPECT_EQ(
      std::get<IntentField>(std::get<Lt>(std::get<And>(original.node).operands[0].node).left().node)
          .name,
      "a");
}

TEST(Model, DeepTreesAtTheLimitCopyCompareAndDestroy) {
  Expr e = make_literal(true);
  for (std::size_t i = 1; i < MAX_EXPR_DEPTH; ++i) e = make_not(std::move(e));
  const Expr copy = deep_copy(e);
  EXPECT_EQ(copy, e);
}

TEST(Value, FromLiteralKeepsVariantAndPayload) {
  const Literal lit{Scalar{DateSet{DateLit{2024, 2, 29}}}};
  const Value v = Value::from_literal(lit);
  EXPECT_EQ(v.type(), Type::DateSet);
  EXPECT_EQ(v.data, lit.data);
  // Different variants are never equal, even with "similar" payloads.
  EXPECT_FALSE((Value{Scalar{std::int64_t{1}}} == Value{Scalar{true}}));
  EXPECT_FALSE((Value{Scalar{IntSet{}}} == Value{Scalar{StringSet{}}}));
}

}  // namespace
}  // namespace verdane::types
