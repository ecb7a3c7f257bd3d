// Round trips over generated templates, and the expression depth limit.
#include <gtest/gtest.h>

#include <array>
#include <limits>

#include "korvel_crypto/hash.h"
#include "korvel_serializers/bytes.h"
#include "unit/serializers/test_util.h"

namespace korvel::serializers {
namespace {

using namespace testing_util;
using namespace verdane::types;

// A small deterministic generator (splitmix64), independent of the standard
// library's distributions so every platform builds the same templates.
class Gen {
 public:
  explicit Gen(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

  std::int64_t integer() {
    static constexpr std::array<std::int64_t, 12> kEdges = {
        0,
        -1,
        1,
        125,
        -126,
        32767,
        32768,
        std::numeric_limits<std::int32_t>::min(),
        std::int64_t{1} << 32,
        std::numeric_limits<std::int64_t>::min(),
        std::numeric_limits<std::int64_t>::max(),
        100};
    return below(2) == 0 ? kEdges[below(kEdges.size())] : static_cast<std::int64_t>(next());
  }

  std::string text() {
    static constexpr std::array<std::string_view, 8> kPieces = {
        "a", "Z", "amount", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\n", "\"q\""};
    std::string s;
    if (below(20) == 0) return std::string(300, 'x');  // length in the 3-byte form
    const std::size_t n = below(4);
    for (std::size_t i = 0; i < n; ++i) s += kPieces[below(kPieces.size())];
    return s;
  }

  DateLit date() {
    static constexpr std::array<std::int32_t, 5> kYears = {
        2024, -1, 0, std::numeric_limits<std::int32_t>::min(),
        std::numeric_limits<std::int32_t>::max()};
    const std::int32_t year =
        below(2) == 0 ? kYears[below(kYears.size())] : static_cast<std::int32_t>(next());
    return DateLit{year, static_cast<std::uint8_t>(next()), static_cast<std::uint8_t>(next())};
  }

  Scalar scalar() {
    const std::size_t kind = below(TYPE_COUNT);
    ++literal_kinds[kind];
    switch (kind) {
      case 0:
        return below(2) == 0;
      case 1:
        return integer();
      case 2:
        return text();
      case 3:
        return date();
      case 4: {
        std::vector<std::int64_t> v(below(5));
        for (auto& x : v) x = integer();
        return IntSet(std::move(v));
      }
      case 5: {
        std::vector<std::string> v(below(5));
        for (auto& x : v) x = text();
        return StringSet(std::move(v));
      }
      default: {
        std::vector<DateLit> v(below(5));
        for (auto& x : v) x = date();
        return DateSet(std::move(v));
      }
    }
  }

  Expr expr(std::size_t depth) {
    const std::size_t kind = depth >= 6 ? below(3) : below(EXPR_KIND_COUNT);
    ++expr_kinds[kind];
    switch (static_cast<ExprKind>(kind)) {
      case ExprKind::Literal:
        return make_literal(scalar());
      case ExprKind::IntentField:
        return Expr{IntentField{text()}};
      case ExprKind::EvidenceField:
        return Expr{EvidenceField{text()}};
      case ExprKind::Add:
        return binary<Add>(depth);
      case ExprKind::Sub:
        return binary<Sub>(depth);
      case ExprKind::Mul:
        return binary<Mul>(depth);
      case ExprKind::Eq:
        return binary<Eq>(depth);
      case ExprKind::Lt:
        return binary<Lt>(depth);
      case ExprKind::Le:
        return binary<Le>(depth);
      case ExprKind::Gt:
        return binary<Gt>(depth);
      case ExprKind::Ge:
        return binary<Ge>(depth);
      case ExprKind::In:
        return binary<In>(depth);
      case ExprKind::SubsetOf:
        return binary<SubsetOf>(depth);
      case ExprKind::SupersetOf:
        return binary<SupersetOf>(depth);
      case ExprKind::Not:
        return make_not(expr(depth + 1));
      case ExprKind::And:
        return list<And>(depth);
      case ExprKind::Or:
        return list<Or>(depth);
    }
    return make_literal(false);
  }

  PolicyTemplate templ() {
    PolicyTemplate t;
    t.name = text();
    for (std::size_t i = below(4); i > 0; --i) {
      t.intent_schema.fields[text()] =
          IntentFieldType{static_cast<Type>(below(TYPE_COUNT)), below(2) == 0};
    }
    for (std::size_t i = below(4); i > 0; --i) {
      t.evidence_schema.fields[text()] = EvidenceFieldType{static_cast<Type>(below(TYPE_COUNT))};
    }
    for (std::size_t i = below(4); i > 0; --i) {
      t.constraints.push_back(Constraint{below(2) == 0, expr(1)});
    }
    return t;
  }

  std::array<int, EXPR_KIND_COUNT> expr_kinds{};
  std::array<int, TYPE_COUNT> literal_kinds{};

 private:
  template <typename N>
  Expr binary(std::size_t depth) {
    Expr left = expr(depth + 1);
    return make_binary<N>(std::move(left), expr(depth + 1));
  }
  template <typename N>
  Expr list(std::size_t depth) {
    N node;
    for (std::size_t i = below(4); i > 0; --i) node.operands.push_back(expr(depth + 1));
    return Expr{std::move(node)};
  }

  std::uint64_t state_;
};

TEST(RoundTrip, GeneratedTemplates) {
  Gen gen(20240229);
  const BytesSerializer codec;
  for (int i = 0; i < 400; ++i) {
    const PolicyTemplate t = gen.templ();
    auto bytes = codec.serialize(t);
    ASSERT_TRUE(bytes.ok()) << bytes.error().to_string();
    auto back = codec.deserialize(*bytes);
    ASSERT_TRUE(back.ok()) << "template " << i << ": " << back.error().to_string();
    ASSERT_EQ(*back, t) << "template " << i;
    auto again = codec.serialize(*back);
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(*again, *bytes) << "template " << i;

    // Every proper prefix runs out of input; one extra byte is too much.
    if (i < 60) {
      for (std::size_t len = 0; len < bytes->size(); ++len) {
        const Bytes prefix(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(len));
        const std::string err = decode_error(prefix);
        ASSERT_NE(err.find("UnexpectedEnd { additional: "), std::string::npos)
            << "template " << i << " cut at " << len << ": " << err;
      }
    }
    EXPECT_EQ(decode_error(concat(*bytes, {0x00})),
              "Deserialization failed, using lib bincode: Other(\"input too long\")");
  }
  for (std::size_t k = 0; k < EXPR_KIND_COUNT; ++k) EXPECT_GT(gen.expr_kinds[k], 0) << k;
  for (std::size_t k = 0; k < TYPE_COUNT; ++k) EXPECT_GT(gen.literal_kinds[k], 0) << k;
}

// ---------------------------------------------------------------------------
// Depth limit: a lone literal has depth 1, each enclosing node adds one.

const std::string kDepthError =
    "OtherString(\"expression nesting exceeds the maximum depth of 4096\")";

Bytes repeat(std::string_view piece, std::size_t times) {
  const Bytes one = hex(piece);
  Bytes out;
  out.reserve(one.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.insert(out.end(), one.begin(), one.end());
  return out;
}

const Bytes kLiteralTrue = hex("00 00 01");

// A chain whose longest path has `depth` nodes, in three shapes.
enum class Shape { Not, AndSingletons, OrWithSiblings, LeftDeepAdd };

Expr deep_tree(Shape shape, std::size_t depth) {
  Expr e = make_literal(true);
  for (std::size_t i = 1; i < depth; ++i) {
    switch (shape) {
      case Shape::Not:
        e = make_not(std::move(e));
        break;
      case Shape::AndSingletons: {
        And node;
        node.operands.push_back(std::move(e));
        e = Expr{std::move(node)};
        break;
      }
      case Shape::OrWithSiblings: {
        Or node;
        node.operands.push_back(make_literal(false));
        node.operands.push_back(std::move(e));
        node.operands.push_back(make_literal(false));
        e = Expr{std::move(node)};
        break;
      }
      case Shape::LeftDeepAdd:
        e = make_binary<Add>(std::move(e), make_literal(std::int64_t{1}));
        break;
    }
  }
  return e;
}

Bytes deep_bytes(Shape shape, std::size_t depth) {
  Bytes out = one_constraint_prefix();
  const std::size_t wrappers = depth - 1;
  switch (shape) {
    case Shape::Not:
      out = concat(out, concat(repeat("0e", wrappers), kLiteralTrue));
      break;
    case Shape::AndSingletons:
      out = concat(out, concat(repeat("0f 01", wrappers), kLiteralTrue));
      break;
    case Shape::OrWithSiblings:
      out = concat(out, concat(repeat("10 03 00 00 00", wrappers),
                               concat(kLiteralTrue, repeat("00 00 00", wrappers))));
      break;
    case Shape::LeftDeepAdd:
      out = concat(
          out, concat(repeat("03", wrappers), concat(kLiteralTrue, repeat("00 01 02", wrappers))));
      break;
  }
  return out;
}

class DepthLimit : public testing::TestWithParam<Shape> {};

TEST_P(DepthLimit, AtTheLimitEverythingWorks) {
  const Bytes bytes = deep_bytes(GetParam(), MAX_EXPR_DEPTH);
  {
    const PolicyTemplate t = with_expr(deep_tree(GetParam(), MAX_EXPR_DEPTH));
    auto encoded = BytesSerializer{}.serialize(t);
    ASSERT_TRUE(encoded.ok()) << encoded.error().to_string();
    EXPECT_EQ(*encoded, bytes);
    EXPECT_TRUE(BytesSerializer{}.check_encodable(t).ok());
    auto decoded = BytesSerializer{}.deserialize(bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
    EXPECT_EQ(*decoded, t);
    auto digest = crypto::TryHash256::try_hash_sha256(*decoded);
    ASSERT_TRUE(digest.ok());
    EXPECT_GE(digest->to_string().size(), 32u);
    PolicyTemplate copy;
    copy.constraints.push_back(Constraint{false, deep_copy(decoded->constraints[0].expr)});
  }  // all trees destroyed here
}

TEST_P(DepthLimit, OneMoreFailsBothWays) {
  EXPECT_EQ(decode_error(deep_bytes(GetParam(), MAX_EXPR_DEPTH + 1)),
            "Deserialization failed, using lib bincode: " + kDepthError);
  const PolicyTemplate t = with_expr(deep_tree(GetParam(), MAX_EXPR_DEPTH + 1));
  auto encoded = BytesSerializer{}.serialize(t);
  ASSERT_FALSE(encoded.ok());
  EXPECT_EQ(encoded.error().to_string(), "Serialization failed, using lib bincode: " + kDepthError);
  auto checked = BytesSerializer{}.check_encodable(t);
  ASSERT_FALSE(checked.ok());
  EXPECT_EQ(checked.error().to_string(), encoded.error().to_string());
}

INSTANTIATE_TEST_SUITE_P(Shapes, DepthLimit,
                         testing::Values(Shape::Not, Shape::AndSingletons, Shape::OrWithSiblings,
                                         Shape::LeftDeepAdd));

TEST(DepthLimit, MillionNestedNodesFailCleanly) {
  const Bytes prefix = one_constraint_prefix();
  for (std::string_view piece : {"0e", "0f 01", "03", "10 02 00 00 00"}) {
    EXPECT_EQ(decode_error(concat(prefix, repeat(piece, 1000000))),
              "Deserialization failed, using lib bincode: " + kDepthError)
        << piece;
  }
}

TEST(DepthLimit, CountsPerConstraint) {
  // Two constraints, each exactly at the limit.
  Bytes bytes = hex("01 74 00 00 02");
  for (int i = 0; i < 2; ++i) {
    bytes =
        concat(bytes, concat(hex("00"), concat(repeat("0e", MAX_EXPR_DEPTH - 1), kLiteralTrue)));
  }
  auto r = BytesSerializer{}.deserialize(bytes);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->constraints.size(), 2u);
}

}  // namespace
}  // namespace korvel::serializers
