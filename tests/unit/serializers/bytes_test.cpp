#include "korvel_serializers/bytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "unit/serializers/test_util.h"

namespace korvel::serializers {
namespace {

using namespace testing_util;
using namespace verdane::types;

Bytes encode(const PolicyTemplate& t) {
  auto r = BytesSerializer{}.serialize(t);
  EXPECT_TRUE(r.ok()) << r.error().to_string();
  return r ? *r : Bytes{};
}

// The bytes of `expr` alone, inside a one-constraint template.
Bytes expr_bytes(Expr expr) {
  const Bytes all = encode(with_expr(std::move(expr)));
  const std::size_t prefix = one_constraint_prefix().size();
  return Bytes(all.begin() + static_cast<std::ptrdiff_t>(prefix), all.end());
}

TEST(Encode, WorkedExampleIs31Bytes) { EXPECT_EQ(encode(example_template()), example_bytes()); }

TEST(Decode, WorkedExample) {
  auto r = BytesSerializer{}.deserialize(example_bytes());
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(*r, example_template());
}

struct LiteralCase {
  std::string name;
  Scalar value;
  std::string payload_hex;  // after the Expr index 00 and the Literal index
};

class LiteralEncoding : public testing::TestWithParam<LiteralCase> {};

TEST_P(LiteralEncoding, PayloadBytesAndBack) {
  const LiteralCase& c = GetParam();
  const Literal lit{c.value};
  const Bytes expected = concat(
      hex("00"), concat(Bytes{static_cast<std::uint8_t>(c.value.index())}, hex(c.payload_hex)));
  EXPECT_EQ(expr_bytes(make_literal(c.value)), expected);
  auto back = BytesSerializer{}.deserialize(concat(one_constraint_prefix(), expected));
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_EQ(back->constraints.at(0).expr, make_literal(c.value));
}

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, LiteralEncoding,
    testing::Values(LiteralCase{"minus_one", std::int64_t{-1}, "01"},
                    LiteralCase{"hundred", std::int64_t{100}, "c8"},
                    LiteralCase{"two_hundred", std::int64_t{200}, "fb 90 01"},
                    LiteralCase{"largest_single_byte", std::int64_t{125}, "fa"},
                    LiteralCase{"smallest_u16_form", std::int64_t{-126}, "fb fb 00"},
                    LiteralCase{"largest_u16_form", std::int64_t{32767}, "fb fe ff"},
                    LiteralCase{"smallest_u32_form", std::int64_t{32768}, "fc 00 00 01 00"},
                    LiteralCase{"largest_u32_form", std::int64_t{-2147483648LL}, "fc ff ff ff ff"},
                    LiteralCase{"smallest_u64_form", std::int64_t{2147483648LL},
                                "fd 00 00 00 00 01 00 00 00"},
                    LiteralCase{"max", kMax64, "fd fe ff ff ff ff ff ff ff"},
                    LiteralCase{"min", kMin64, "fd ff ff ff ff ff ff ff ff"},
                    LiteralCase{"bool_true", true, "01"}, LiteralCase{"bool_false", false, "00"},
                    LiteralCase{"text", std::string("h\xC3\xA9"), "03 68 c3 a9"},
                    LiteralCase{"leap_day", DateLit{2024, 2, 29}, "fb d0 0f 02 1d"},
                    LiteralCase{"negative_year", DateLit{-1, 12, 31}, "01 0c 1f"},
                    LiteralCase{"int_set", IntSet{3, -2, 10}, "03 03 06 14"},
                    LiteralCase{"empty_string_set", StringSet{}, "00"},
                    LiteralCase{"string_set", StringSet{"b", "Z", "a"}, "03 01 5a 01 61 01 62"},
                    LiteralCase{"date_set", DateSet{DateLit{2024, 1, 2}, DateLit{2023, 12, 31}},
                                "02 fb ce 0f 0c 1f fb d0 0f 01 02"}),
    [](const auto& info) { return info.param.name; });

TEST(Encode, NodesUseTheirVariantIndex) {
  EXPECT_EQ(expr_bytes(make_not(make_literal(true))), hex("0e 00 00 01"));
  Expr conj{And{}};
  std::get<And>(conj.node).operands.push_back(Expr{EvidenceField{"ok"}});
  std::get<And>(conj.node).operands.push_back(make_literal(false));
  EXPECT_EQ(expr_bytes(std::move(conj)), hex("0f 02 02 02 6f 6b 00 00 00"));
  EXPECT_EQ(expr_bytes(Expr{Or{}}), hex("10 00"));
  EXPECT_EQ(expr_bytes(make_binary<SupersetOf>(Expr{IntentField{"s"}}, make_literal(IntSet{}))),
            hex("0d 01 01 73 00 04 00"));
}

TEST(Encode, SchemasInByteOrderOfNames) {
  PolicyTemplate t;
  t.name = "n";
  t.intent_schema.fields["zeta"] = IntentFieldType{Type::DateSet, true};
  t.intent_schema.fields["Zed"] = IntentFieldType{Type::String, false};
  t.evidence_schema.fields["b"] = EvidenceFieldType{Type::IntSet};
  t.evidence_schema.fields["a"] = EvidenceFieldType{Type::StringSet};
  EXPECT_EQ(encode(t), hex("01 6e 02 03 5a 65 64 02 00 04 7a 65 74 61 06 01 "
                           "02 01 61 05 01 62 04 00"));
}

// Decoder errors, each with its exact display text.
struct ErrorCase {
  std::string name;
  Bytes input;
  std::string source;
};

class DecodeErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(DecodeErrors, ExactText) {
  EXPECT_EQ(decode_error(GetParam().input),
            "Deserialization failed, using lib bincode: " + GetParam().source);
}

Bytes example_with(std::size_t at, std::uint8_t byte) {
  Bytes b = example_bytes();
  b.at(at) = byte;
  return b;
}

Bytes example_without_last() {
  Bytes b = example_bytes();
  b.pop_back();
  return b;
}

Bytes with_prefix(std::string_view expr_hex) {
  return concat(one_constraint_prefix(), hex(expr_hex));
}

std::vector<ErrorCase> error_cases() {
  const std::string end1 = "UnexpectedEnd { additional: 1 }";
  const std::string range17 =
      "OtherString(\"invalid value: integer `17`, expected variant index 0 <= i < 17\")";
  const std::string range7 =
      "OtherString(\"invalid value: integer `7`, expected variant index 0 <= i < 7\")";
  return {
      {"empty", {}, end1},
      {"trailing_byte", concat(example_bytes(), hex("00")), "Other(\"input too long\")"},
      {"last_byte_missing", example_without_last(), end1},
      {"text_shorter_than_length", hex("05 74"), "UnexpectedEnd { additional: 4 }"},
      {"u16_marker_alone", hex("fb"), "UnexpectedEnd { additional: 2 }"},
      {"u16_marker_one_byte", hex("fb 01"), end1},
      {"u32_marker_alone", hex("fc"), "UnexpectedEnd { additional: 4 }"},
      {"u64_marker_three_bytes", hex("fd 01 02 03"), "UnexpectedEnd { additional: 5 }"},
      {"int_marker_at_end", with_prefix("00 01 fb"), "UnexpectedEnd { additional: 2 }"},
      {"date_missing_day", with_prefix("00 03 fb d0 0f 02"), end1},
      {"date_missing_month", with_prefix("00 03 00"), end1},
      {"expr_index_17", example_with(19, 0x11), range17},
      {"expr_index_huge", with_prefix("fc ff ff ff ff"),
       "OtherString(\"invalid value: integer `4294967295`, expected variant index 0 <= i < 17\")"},
      {"type_index_7", example_with(10, 0x07), range7},
      {"evidence_type_index_7", example_with(16, 0x07), range7},
      {"literal_index_7", example_with(29, 0x07), range7},
      {"constraint_optional_2", example_with(18, 0x02), "InvalidBooleanValue(2)"},
      {"field_optional_255", example_with(11, 0xff), "InvalidBooleanValue(255)"},
      {"bool_literal_2", with_prefix("00 00 02"), "InvalidBooleanValue(2)"},
      {"variant_index_u64_marker", example_with(19, 0xfd),
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {"variant_index_u128_marker", example_with(19, 0xfe),
       "InvalidIntegerType { expected: U32, found: U128 }"},
      {"variant_index_reserved", example_with(19, 0xff),
       "InvalidIntegerType { expected: U32, found: Reserved }"},
      {"year_u64_marker", with_prefix("00 03 fd 00 00 00 00 00 00 00 00 01 01"),
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {"length_u128_marker", hex("fe"), "InvalidIntegerType { expected: U64, found: U128 }"},
      {"count_reserved_marker", example_with(2, 0xff),
       "InvalidIntegerType { expected: U64, found: Reserved }"},
      {"int_literal_u128_marker", example_with(30, 0xfe),
       "InvalidIntegerType { expected: U64, found: U128 }"},
      {"utf8_invalid_byte", hex("02 61 ff"),
       "Utf8 { inner: Utf8Error { valid_up_to: 1, error_len: Some(1) } }"},
      {"utf8_bad_continuation", hex("03 e2 82 41"),
       "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(2) } }"},
      {"utf8_cut_character", hex("03 61 e2 82"),
       "Utf8 { inner: Utf8Error { valid_up_to: 1, error_len: None } }"},
      {"utf8_in_field_name", with_prefix("01 02 c3 28"),
       "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
      // Forged sizes: each must fail quickly, without setting aside storage
      // of the announced size.
      {"huge_text_length", hex("fd ff ff ff ff ff ff ff ff 61"),
       "UnexpectedEnd { additional: 18446744073709551614 }"},
      {"huge_constraint_count", hex("01 74 00 00 fd ff ff ff ff ff ff ff ff 00"), end1},
      {"huge_int_set", with_prefix("00 04 fd ff ff ff ff ff ff ff ff 02 04"), end1},
      {"huge_string_set", with_prefix("00 05 fd ff ff ff ff ff ff ff 7f 00"), end1},
      {"huge_date_set", with_prefix("00 06 fc ff ff ff ff 00 01 01"), end1},
      {"huge_and", with_prefix("0f fd ff ff ff ff ff ff ff ff 00 00 01"), end1},
      {"huge_intent_count", hex("01 74 fd ff ff ff ff ff ff ff ff 01 61 00 00"), end1},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, DecodeErrors, testing::ValuesIn(error_cases()),
                         [](const auto& info) { return info.param.name; });

// Texts of every length around the short-text check, with one byte that is
// not ASCII at every position: each is refused where that byte stands, and
// the same texts in ASCII decode.
TEST(Decode, ShortTextsAreCheckedAtEveryByte) {
  for (std::size_t length = 1; length <= 20; ++length) {
    PolicyTemplate t = example_template();
    t.name = std::string(length, 'a');
    const Bytes ascii = encode(t);
    ASSERT_EQ(ascii.at(0), length);
    EXPECT_TRUE(BytesSerializer{}.deserialize(ascii).ok()) << length;
    for (std::size_t at = 0; at < length; ++at) {
      for (const std::uint8_t bad : {0x80, 0xc3, 0xff}) {
        Bytes b = ascii;
        b.at(1 + at) = bad;
        const bool cut = bad == 0xc3 && at + 1 == length;
        EXPECT_EQ(decode_error(b),
                  "Deserialization failed, using lib bincode: Utf8 { inner: Utf8Error { "
                  "valid_up_to: " +
                      std::to_string(at) + ", error_len: " + (cut ? "None" : "Some(1)") + " } }")
            << length << " " << at << " " << int{bad};
      }
    }
  }
}

// Inputs that are not canonical but decode, and re-encode to canonical bytes.
struct NonCanonicalCase {
  std::string name;
  Bytes input;
  Bytes canonical;
};

class NonCanonical : public testing::TestWithParam<NonCanonicalCase> {};

TEST_P(NonCanonical, DecodesAndReencodesCanonically) {
  auto r = BytesSerializer{}.deserialize(GetParam().input);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(encode(*r), GetParam().canonical);
}

Bytes example_replacing(std::size_t at, std::string_view replacement) {
  Bytes b = example_bytes();
  const Bytes r = hex(replacement);
  b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
  b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), r.begin(), r.end());
  return b;
}

std::vector<NonCanonicalCase> non_canonical_cases() {
  const Bytes& ex = example_bytes();
  return {
      {"map_count_u16_form", example_replacing(2, "fb 01 00"), ex},
      {"name_length_u32_form", example_replacing(0, "fc 01 00 00 00"), ex},
      {"int_u64_form", example_replacing(30, "fd c8 00 00 00 00 00 00 00"), ex},
      {"variant_index_u32_form", example_replacing(19, "fc 08 00 00 00"), ex},
      {"type_index_u16_form", example_replacing(16, "fb 00 00"), ex},
      {"year_u32_form", with_prefix("00 03 fc d0 0f 00 00 02 1d"),
       with_prefix("00 03 fb d0 0f 02 1d")},
      {"int_set_unsorted_repeated", with_prefix("00 04 05 14 03 06 03 14"),
       with_prefix("00 04 03 03 06 14")},
      {"string_set_unsorted_repeated", with_prefix("00 05 03 01 62 01 61 01 62"),
       with_prefix("00 05 02 01 61 01 62")},
      {"date_set_unsorted_repeated", with_prefix("00 06 03 02 02 02 02 01 01 02 02 02"),
       with_prefix("00 06 02 02 01 01 02 02 02")},
      // Intent "b" then "a" twice; the last "a" (bool, optional) wins.
      {"intent_keys_unsorted_last_wins", hex("01 74 03 01 62 01 00 01 61 02 00 01 61 00 01 00 00"),
       hex("01 74 02 01 61 00 01 01 62 01 00 00 00")},
      {"evidence_keys_unsorted_last_wins", hex("01 74 00 03 01 79 01 01 78 02 01 79 03 00"),
       hex("01 74 00 02 01 78 02 01 79 03 00")},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, NonCanonical, testing::ValuesIn(non_canonical_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(Decode, DatesAreNotValidated) {
  auto r = BytesSerializer{}.deserialize(with_prefix("00 03 00 0d 00"));
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r->constraints.at(0).expr, make_literal(DateLit{0, 13, 0}));
}

TEST(Decode, ExtremeYears) {
  for (std::int32_t year : {std::numeric_limits<std::int32_t>::min(),
                            std::numeric_limits<std::int32_t>::max(), -1, 0}) {
    const PolicyTemplate t = with_expr(make_literal(DateLit{year, 1, 1}));
    auto r = BytesSerializer{}.deserialize(encode(t));
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    EXPECT_EQ(*r, t) << year;
  }
}

// Large sets and maps arriving in reverse order must not cost quadratic time.
TEST(Decode, LargeReversedSetsAndMaps) {
  constexpr std::int64_t kCount = 200000;
  Bytes set_expr = hex("00 04 fc");
  const auto n = static_cast<std::uint32_t>(kCount * 2);  // every element twice
  for (int i = 0; i < 4; ++i) set_expr.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  for (std::int64_t i = kCount - 1; i >= 0; --i) {
    for (int twice = 0; twice < 2; ++twice) {
      // zigzag(i) = 2i in the shortest form.
      const std::uint64_t z = static_cast<std::uint64_t>(i) * 2;
      if (z <= 250) {
        set_expr.push_back(static_cast<std::uint8_t>(z));
      } else if (z <= 0xFFFF) {
        set_expr.insert(set_expr.end(),
                        {0xfb, static_cast<std::uint8_t>(z), static_cast<std::uint8_t>(z >> 8)});
      } else {
        set_expr.insert(set_expr.end(),
                        {0xfc, static_cast<std::uint8_t>(z), static_cast<std::uint8_t>(z >> 8),
                         static_cast<std::uint8_t>(z >> 16), static_cast<std::uint8_t>(z >> 24)});
      }
    }
  }
  const auto start = std::chrono::steady_clock::now();
  auto r = BytesSerializer{}.deserialize(concat(one_constraint_prefix(), set_expr));
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  const auto& lit = std::get<Literal>(r->constraints.at(0).expr.node);
  const auto& set = std::get<IntSet>(lit.data);
  ASSERT_EQ(set.size(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(set.items().front(), 0);
  EXPECT_EQ(set.items().back(), kCount - 1);

  // An evidence schema with keys in descending order.
  PolicyTemplate wide;
  wide.name = "w";
  for (int i = 0; i < 50000; ++i) {
    // Appending (rather than "f" + to_string) avoids a false -Wrestrict in g++ 12.
    std::string name = "f";
    name += std::to_string(100000 + i);
    wide.evidence_schema.fields[name] = EvidenceFieldType{Type::Int};
  }
  Bytes canonical = encode(wide);
  // Rebuild the same entries in reverse order: each entry is 9 bytes (length,
  // 7-byte name, type) after the 2-byte name, the empty intent map and the
  // 3-byte count.
  const std::size_t head = 2 + 1 + 3;
  ASSERT_EQ(canonical.size(), head + 50000 * 9 + 1);
  Bytes reversed(canonical.begin(), canonical.begin() + head);
  for (int i = 50000 - 1; i >= 0; --i) {
    const auto at = canonical.begin() + static_cast<std::ptrdiff_t>(head + 9 * i);
    reversed.insert(reversed.end(), at, at + 9);
  }
  reversed.push_back(0x00);
  auto w = BytesSerializer{}.deserialize(reversed);
  ASSERT_TRUE(w.ok()) << w.error().to_string();
  EXPECT_EQ(encode(*w), canonical);
  // Wall-clock bounds belong to the benchmarks (sanitizer and shared CI
  // machines vary too much); this run guards against crashes only.
  (void)(std::chrono::steady_clock::now() - start);
}

TEST(Encode, MissingOperandIsAnErrorNotACrash) {
  // A negation without its operand, and a comparison without its pair.
  Expr cases[] = {Expr{Not{}}, Expr{Lt{}}};
  for (Expr& broken : cases) {
    auto r = BytesSerializer{}.serialize(with_expr(std::move(broken)));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(),
              "Serialization failed, using lib bincode: OtherString(\"expression node is missing "
              "an operand\")");
  }
}

// Keeps every piece serialize_into hands over.
struct Pieces final : ByteSink {
  std::vector<Bytes> pieces;
  void write(std::span<const std::uint8_t> bytes) override {
    pieces.emplace_back(bytes.begin(), bytes.end());
  }
  Bytes joined() const {
    Bytes out;
    for (const Bytes& p : pieces) out = concat(std::move(out), p);
    return out;
  }
};

// Many constraints, with texts around the size of the streaming buffer.
PolicyTemplate streamed_template(std::size_t constraints, std::size_t text_size) {
  PolicyTemplate t = example_template();
  for (std::size_t i = 0; i < constraints; ++i) {
    t.constraints.push_back(
        Constraint{i % 2 == 1,
                   make_binary<Eq>(make_literal(std::string(i % 7 == 0 ? text_size : i % 300, 'x')),
                                   make_literal(static_cast<std::int64_t>(i) * 1000003))});
  }
  return t;
}

class StreamedEncoding : public testing::TestWithParam<std::size_t> {};

TEST_P(StreamedEncoding, SameBytesInBoundedPieces) {
  const PolicyTemplate t = streamed_template(2000, GetParam());
  Pieces sink;
  auto r = BytesSerializer{}.serialize_into(t, sink);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(sink.joined(), encode(t));
  EXPECT_GT(sink.pieces.size(), 2u);
  for (const Bytes& piece : sink.pieces) {
    EXPECT_FALSE(piece.empty());
    // Only a text too long for the buffer comes in a piece of its own.
    EXPECT_TRUE(piece.size() <= 16384 || piece.size() == GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(TextSizes, StreamedEncoding,
                         testing::Values(0u, 16383u, 16384u, 16385u, 100000u));

TEST(StreamedEncoding, FailsLikeSerialize) {
  Pieces sink;
  auto r = BytesSerializer{}.serialize_into(with_expr(Expr{Not{}}), sink);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "Serialization failed, using lib bincode: OtherString(\"expression node is missing an "
            "operand\")");
}

}  // namespace
}  // namespace korvel::serializers
