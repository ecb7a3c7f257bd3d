// The one-pass loader must give exactly what parse_json followed by the
// loaders gives. The generic path is the reference: every case here is run
// through both and compared, and the cases that the one-pass path is meant to
// handle itself are checked to be handled there rather than handed back.
#include "runtime_input/parse_load.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include <random>
#include <sstream>
#include <string>

#include "common/reference/load.h"
#include "support/utf8.h"

namespace verdane::runtime_input {
namespace {

using types::DateLit;
using types::Type;
using types::Value;

// Member names are matched by their first bytes as numbers: against a copy
// of those bytes, and against plain equality, for every length around the
// eight and sixteen bytes where the matching changes its way.
TEST(DeclaredFieldMatch, AgreesWithComparingTheBytes) {
  std::mt19937 random(8);
  for (int round = 0; round < 20000; ++round) {
    std::string a(random() % 26, 'x');
    for (char& c : a) c = static_cast<char>("ab\0\xff"[random() % 4]);
    std::uint64_t want = 0;
    std::memcpy(&want, a.data(), std::min<std::size_t>(a.size(), 8));
    ASSERT_EQ(name_head(a), want) << a.size();
    std::string b = a;
    if (!b.empty() && random() % 2) b[random() % b.size()] ^= static_cast<char>(1 + random() % 255);
    if (random() % 8 == 0) b.push_back('a');
    const DeclaredField field(a, Type::Int);
    ASSERT_EQ(field.matches(b, name_head(b)), a == b) << a.size() << " " << b.size();
  }
}

// Every declared type, under names that sort among the undeclared ones used
// below ("a", "c", "h", "j", "z", "Z").
types::EvidenceSchema evidence_schema() {
  types::EvidenceSchema schema;
  schema.fields["b"] = {Type::Bool};
  schema.fields["d"] = {Type::Date};
  schema.fields["ds"] = {Type::DateSet};
  schema.fields["i"] = {Type::Int};
  schema.fields["is"] = {Type::IntSet};
  schema.fields["s"] = {Type::String};
  schema.fields["ss"] = {Type::StringSet};
  return schema;
}

types::IntentSchema intent_schema() {
  types::IntentSchema schema;
  for (const auto& [name, shape] : evidence_schema().fields) schema.fields[name] = {shape.type};
  return schema;
}

// Everything either path can tell about one text, printable for failures.
struct Outcome {
  std::string parse_error;
  std::string input_error;
  types::ValueMap values;

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome outcome_of(const LoadResult& loaded) {
  Outcome o;
  if (loaded) {
    o.values = *loaded;
  } else {
    o.input_error = loaded.error().to_string();
  }
  return o;
}

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  if (!o.parse_error.empty()) return os << "parse error: " << o.parse_error;
  if (!o.input_error.empty()) return os << "input error: " << o.input_error;
  os << "values:";
  for (const auto& [name, value] : o.values) os << " " << name << "#" << value.data.index();
  return os;
}

Outcome reference(std::string_view text, bool intent) {
  auto document = parse_json(text);
  if (!document) return Outcome{document.error().message(), {}, {}};
  return outcome_of(intent ? load_intent(intent_schema(), *document)
                           : load_evidence(evidence_schema(), *document));
}

// Loaded by the production path, from borrowed text or from owned text,
// which large documents are parsed in place in.
Outcome fused(std::string_view text, bool intent, bool owned = false) {
  const auto json = [&] {
    return owned ? JsonText::owned(std::string(text)) : JsonText::borrowed(text);
  };
  auto loaded = intent ? parse_and_load_intent(intent_schema(), json())
                       : parse_and_load_evidence(evidence_schema(), json());
  if (!loaded) return Outcome{loaded.error().message(), {}, {}};
  return outcome_of(*loaded);
}

// The single pass on its own; nullopt when the text is not JSON.
std::optional<Outcome> one_pass(std::string_view text) {
  static const types::EvidenceSchema schema = evidence_schema();
  std::vector<detail::DeclaredField> fields;
  for (const auto& [name, shape] : schema.fields) fields.push_back({name, shape.type});
  JsonText json = JsonText::borrowed(text);
  auto loaded = detail::load_in_one_pass(fields, json, "evidence");
  if (!loaded) return std::nullopt;
  return outcome_of(*loaded);
}

// Compares both paths on `text`, for both schema kinds, and on the same
// document made large by leading lines, from owned text.
void expect_same(std::string_view text) {
  static const std::string kLines(1100, '\n');
  const std::string large = kLines + std::string(text);
  for (const bool intent : {false, true}) {
    EXPECT_EQ(fused(text, intent), reference(text, intent))
        << (intent ? "intent" : "evidence") << " document: " << text;
    EXPECT_EQ(fused(large, intent, true), reference(large, intent))
        << (intent ? "intent" : "evidence") << " large owned document: " << text;
  }
}

// ---------------------------------------------------------------------------
// Cases the one pass handles itself

struct Case {
  std::string name;
  std::string json;
};

class OnePassTest : public testing::TestWithParam<Case> {};

TEST_P(OnePassTest, HandlesItAndAgreesWithTheGenericPath) {
  const std::string& text = GetParam().json;
  const auto own = one_pass(text);
  ASSERT_TRUE(own.has_value()) << "left to the generic path: " << text;
  EXPECT_EQ(*own, reference(text, false)) << text;
  expect_same(text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OnePassTest,
    testing::Values(
        Case{"every_type",
             R"({"b": true, "i": -7, "s": "x\u00e9\n", "d": "2024-02-29", "is": [3, 1, 3],
                 "ss": ["b", "a", "b", ""], "ds": ["2024-01-02", "2023-12-31"]})"},
        Case{"empty_object", "{}"}, Case{"empty_sets", R"({"is": [], "ss": [], "ds": []})"},
        Case{"array_root", "[1, {\"b\": true}]"}, Case{"null_root", " null "},
        Case{"string_root", R"("{}")"}, Case{"number_root", "-1.5e3"},
        Case{"undeclared_first_by_name", R"({"z": 1, "c": 2, "b": "x"})"},
        Case{"declared_first_by_name", R"({"z": 1, "b": "x"})"},
        Case{"upper_case_sorts_first", R"({"b": 1, "Z": 2})"},
        Case{"prefix_of_declared_name", R"({"i": "x", "": 1})"},
        Case{"undeclared_with_nested_value", R"({"h": {"b": [1, {"c": null}]}})"},
        Case{"null_is_a_value", R"({"b": null})"}, Case{"null_for_a_set", R"({"ss": null})"},
        Case{"object_for_a_scalar", R"({"i": {"i": 1}})"},
        Case{"array_for_a_scalar", R"({"s": ["x"]})"}, Case{"object_for_a_set", R"({"is": {}})"},
        Case{"scalar_for_a_set", R"({"ds": "2024-01-01"})"}, Case{"float_for_int", R"({"i": 1.0})"},
        Case{"exponent_for_int", R"({"i": 1e2})"},
        Case{"large_uint_for_int", R"({"i": 9223372036854775808})"},
        Case{"int_limits", R"({"i": -9223372036854775808, "is": [9223372036854775807, 0, -0]})"},
        Case{"large_uint_in_set", R"({"is": [1, 18446744073709551615]})"},
        Case{"float_in_set", R"({"is": [1, 2.5, "x"]})"},
        Case{"first_bad_element_decides", R"({"is": [1, "x", 2.5]})"},
        Case{"nested_array_element", R"({"is": [1, [2], "x"]})"},
        Case{"nested_object_element", R"({"ss": ["a", {"ss": 1}, 2]})"},
        Case{"string_set_wrong_element", R"({"ss": ["a", true]})"},
        Case{"date_set_bad_date", R"({"ds": ["2024-01-01", "2024-02-30", 5]})"},
        Case{"date_set_non_string_first", R"({"ds": [5, "2024-02-30"]})"},
        Case{"date_format", R"({"d": "2024-1-01"})"}, Case{"date_from_int", R"({"d": 20240101})"},
        Case{"repeated_bad_then_good", R"({"i": "x", "i": 1})"},
        Case{"repeated_good_then_bad", R"({"is": [1], "is": [true]})"},
        Case{"repeated_set_keeps_last", R"({"ss": ["a", "b"], "ss": ["c"]})"},
        Case{"repeated_undeclared", R"({"c": 1, "c": 2})"},
        Case{"nested_member_names_ignored", R"({"h": {"z": 1, "a": 2}, "b": true})"},
        Case{"escaped_names", R"({"\u0062": false, "a\u0000": 1})"},
        Case{"name_with_nul_sorts_after_prefix", R"({"i\u0000": 1, "i": "x"})"},
        Case{"non_ascii_strings",
             "{\"ss\": [\"\xC3\xA9\", \"e\", \"\xF0\x9F\x98\x80\", \"\\ud83d\\ude00\"]}"},
        Case{"strings_with_nul", R"({"ss": ["a\u0000b", "a", "a\u0000"]})"},
        Case{"huge_float_inside_undeclared", R"({"c": [1.5e300, -0.0]})"},
        Case{"twenty_digit_integer", R"({"is": [18446744073709551616]})"}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Cases left to the generic path, whose outcome must still be the same

// Texts the parser refuses as they stand: valid JSON with numbers beyond a
// double, which the pass reads again, and texts that are not JSON.
class RefusedTextTest : public testing::TestWithParam<Case> {};

TEST_P(RefusedTextTest, AgreesWithTheGenericPath) { expect_same(GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedTextTest,
    testing::Values(Case{"beyond_double", R"({"i": 1e400, "is": [1]})"},
                    Case{"four_hundred_digits", "{\"c\": " + std::string(400, '7') + "}"},
                    Case{"nul_byte", std::string("{\"s\": \"a\0\"}", 11)},
                    Case{"invalid_utf8", "{\"s\": \"\xFF\"}"},
                    Case{"lone_low_surrogate_in_nested_name", R"({"h": {"\udc00": 1}})"},
                    Case{"lone_low_surrogate_in_set", R"({"ss": ["a", "\udfff"]})"},
                    Case{"syntax_error", R"({"is": [1, 2,]})"},
                    Case{"unterminated", R"({"ss": ["a")"}, Case{"empty", ""},
                    Case{"trailing_content", "{} {}"}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Random documents

// Builds random documents near the schema: declared and undeclared names,
// values of the right and wrong kinds, nesting, repeated names, and now and
// then a broken text.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(std::uint32_t seed) : rng_(seed) {}

  std::string document() {
    std::string out;
    const int root = pick(20);
    if (root == 0) {
      value(out, 2);
    } else {
      object(out, 0);
    }
    if (pick(25) == 0 && !out.empty()) out.resize(pick(static_cast<int>(out.size())));
    return out;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  void space(std::string& out) {
    static const char* kSpaces[] = {"", "", " ", "\n", "\t ", "\r\n"};
    out += kSpaces[pick(6)];
  }

  void object(std::string& out, int depth) {
    static const char* kNames[] = {"b", "d", "ds", "i", "is", "s",        "ss",
                                   "a", "c", "h",  "Z", "",   "i\\u0000", "\\u0069s"};
    out += '{';
    const int members = pick(depth == 0 ? 8 : 3);
    for (int m = 0; m < members; ++m) {
      if (m) out += ',';
      space(out);
      out += '"';
      out += kNames[pick(14)];
      out += "\":";
      space(out);
      if (depth == 0) {
        member_value(out);
      } else {
        value(out, depth + 1);
      }
    }
    space(out);
    out += '}';
  }

  void member_value(std::string& out) {
    switch (pick(6)) {
      case 0:
        array(out, [this](std::string& o) { integer(o); });
        break;
      case 1:
        array(out, [this](std::string& o) { string(o); });
        break;
      case 2:
        array(out, [this](std::string& o) { date(o); });
        break;
      case 3:
        array(out, [this](std::string& o) { value(o, 2); });
        break;
      default:
        value(out, 1);
    }
  }

  template <typename Element>
  void array(std::string& out, Element element) {
    out += '[';
    const int n = pick(6);
    for (int e = 0; e < n; ++e) {
      if (e) out += ',';
      space(out);
      if (pick(12) == 0) {
        value(out, 2);
      } else {
        element(out);
      }
    }
    out += ']';
  }

  void integer(std::string& out) {
    static const char* kNumbers[] = {"0",
                                     "-0",
                                     "7",
                                     "-12",
                                     "9223372036854775807",
                                     "-9223372036854775808",
                                     "9223372036854775808",
                                     "18446744073709551615",
                                     "18446744073709551616",
                                     "1.5",
                                     "2e3",
                                     "-0.0",
                                     "1e999"};
    out += pick(3) == 0 ? kNumbers[pick(13)] : std::to_string(pick(20) - 5);
  }

  void string(std::string& out) {
    static const char* kStrings[] = {
        "a",     "b",     "",  "ab",     "a\\u0000", "\\n", "\xC3\xA9", "\\u00e9", "\\ud83d\\ude00",
        "\\\"q", "x\\/y", "A", "\\udc00"};
    out += '"';
    out += kStrings[pick(pick(40) == 0 ? 13 : 12)];
    out += '"';
  }

  void date(std::string& out) {
    static const char* kDates[] = {"2024-01-01", "2024-02-29", "2023-02-29", "2024-1-01",
                                   "+024-01-01", "2024-13-01", "0000-01-01", "9999-12-31"};
    out += '"';
    out += kDates[pick(8)];
    out += '"';
  }

  void value(std::string& out, int depth) {
    switch (pick(depth > 4 ? 7 : 9)) {
      case 0:
        out += "null";
        break;
      case 1:
        out += pick(2) ? "true" : "false";
        break;
      case 2:
      case 3:
        integer(out);
        break;
      case 4:
        string(out);
        break;
      case 5:
        date(out);
        break;
      case 6:
        out += pick(2) ? "[]" : "{}";
        break;
      case 7:
        array(out, [this, depth](std::string& o) { value(o, depth + 1); });
        break;
      default:
        object(out, depth + 1);
    }
  }

  std::mt19937 rng_;
};

TEST(RandomDocuments, BothPathsAgree) {
  DocumentGenerator generator(20240611);
  int handled = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = generator.document();
    expect_same(text);
    if (one_pass(text)) ++handled;
    if (HasFailure()) break;
  }
  // Most documents are well-formed JSON.
  EXPECT_GT(handled, 2000);
}

// ---------------------------------------------------------------------------
// Sizes and depths

TEST(OnePassLimits, DeepNestingInsideAMemberUsesNoStack) {
  constexpr std::size_t kDepth = 1'000'000;
  const std::string nested = std::string(kDepth, '[') + std::string(kDepth, ']');
  const std::string in_set = "{\"is\": [1, " + nested + "], \"c\": " + nested + "}";
  const auto own = one_pass(in_set);
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->input_error, "field `c`: is not declared in the evidence schema");
  const auto root = one_pass(nested);
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(root->input_error, "input JSON must be an object");
}

TEST(OnePassLimits, LargeSetsMatchTheGenericPath) {
  std::string text = "{\"ss\": [";
  for (int i = 0; i < 200'000; ++i) {
    text += i ? ",\"" : "\"";
    text.append(i % 7, 'k').append(std::to_string((i * 7919) % 150'001)) += '"';
  }
  text += "], \"is\": [";
  for (int i = 0; i < 200'000; ++i) {
    text += i ? "," : "";
    text += std::to_string((i * 31) % 99'991 - 500);
  }
  // Dates of every year, month and day order, many repeated.
  text += "], \"ds\": [";
  for (int i = 0; i < 5'000; ++i) {
    char date[16];
    std::snprintf(date, sizeof date, "\"%04d-%02d-%02d\"", 1 + (i % 97) * 103, 1 + (i * 5) % 12,
                  1 + (i / 7) % 28);
    text += i ? "," : "";
    text += date;
  }
  text += "]}";
  const auto own = one_pass(text);
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->input_error, "");
  EXPECT_EQ(*own, reference(text, false));
}

// Large sets are built only once the whole document is read, small ones as
// their array closes: a repeated member must drop either kind, and a
// problem after a large set must still win.
TEST(OnePassLimits, RepeatedLargeAndSmallSetsKeepTheLastOccurrence) {
  std::string big = "[";
  for (int i = 0; i < 5'000; ++i)
    big += (i ? ",\"e" : "\"e") + std::to_string(i * 37 % 4'999) + '"';
  big += "]";
  const std::vector<std::string> texts{
      "{\"ss\": " + big + ", \"ss\": [\"a\"]}",
      "{\"ss\": [\"a\"], \"ss\": " + big + "}",
      "{\"ss\": " + big + ", \"ss\": 1}",
      "{\"ss\": 1, \"ss\": " + big + ", \"is\": [1, \"x\"]}",
      "{\"ss\": " + big + ", \"ss\": " + big + ", \"b\": false}",
  };
  for (const std::string& text : texts) {
    const auto own = one_pass(text);
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(*own, reference(text, false)) << text.substr(0, 40);
    expect_same(text);
  }
}

// Documents of a request's size are parsed by recursion, which their size
// bounds: texts at that size and just past it, nested as deep as they can
// be, agree with the generic path.
TEST(OnePassLimits, SmallDocumentsNestAsDeepAsTheirSize) {
  for (const std::size_t size : {1023, 1024, 1025}) {
    expect_same(std::string(size, '['));
    expect_same(std::string(size / 2, '[') + std::string(size - size / 2, ']'));
    expect_same("{\"h\":" + std::string(size - 7, '[') + "1}");
  }
}

// Names are told apart by length and first eight bytes before their bytes
// are compared: names that agree there must still be matched exactly.
TEST(OnePassNames, NamesSharingTheirFirstBytesAreToldApart) {
  types::IntentSchema schema;
  for (const char* name : {"abcdefgh", "abcdefghij", "abcdefghik", "abcdefgh\xc3\xa9"}) {
    schema.fields[name] = {Type::Int};
  }
  for (const std::string text :
       {R"({"abcdefghik": 2, "abcdefghij": 1, "abcdefgh": 0, "abcdefgh\u00e9": 3})",
        R"({"abcdefghij": 1, "abcdefghiz": 2})", R"({"abcdefghi": 1})",
        R"({"abcdefgh": 1, "abcdefgh\u0000": 2})"}) {
    auto document = parse_json(text);
    ASSERT_TRUE(document) << text;
    const Outcome want = outcome_of(load_intent(schema, *document));
    auto loaded = parse_and_load_intent(schema, JsonText::borrowed(text));
    ASSERT_TRUE(loaded) << text;
    EXPECT_EQ(outcome_of(*loaded), want) << text;
  }
}

// Input errors carry the byte offset of what does not fit, whichever way
// the text is read: as a short text, a long one, a long owned one parsed in
// place, one read again for a number beyond a double, or inside a request.
TEST(InputErrorOffsets, PointAtWhatDoesNotFitOnEveryReading) {
  struct Row {
    std::string document;
    std::size_t offset;
  };
  const std::vector<Row> rows{
      {R"({"i": true})", 6},
      {R"({"i": false})", 6},
      {R"({"i": null})", 6},
      {R"({"i": "x"})", 6},
      {R"({"i": 1.5})", 6},
      {R"({"i": [1]})", 6},
      {R"({"i": {"a": 1}})", 6},
      {R"({"is": [1, 2, "x"]})", 14},
      {R"({"is": [1, false]})", 11},
      {R"({"is": [1, [2]]})", 11},
      {R"({"d": "2024-02-30"})", 6},
      {R"({"ds": ["2024-01-01", "x"]})", 22},
      {R"({"b": 1, "a": 2})", 9},
      {R"([1, 2])", 0},
      {R"("text")", 0},
      {R"(  null)", 2},
      {R"({"i": 1, "i": "x"})", 14},
  };
  // The fields' names are views of the schemas', which must outlive them.
  const types::IntentSchema intent = intent_schema();
  const types::EvidenceSchema evidence = evidence_schema();
  const std::vector<detail::DeclaredField> fields = declared_fields(intent);
  const std::vector<detail::DeclaredField> evidence_fields = declared_fields(evidence);
  const auto offset_of = [&](std::string text, bool owned) -> std::size_t {
    JsonText json = owned ? JsonText::owned(std::move(text)) : JsonText::borrowed(text);
    LoadedStorage storage;
    auto loaded = detail::load_fields_in_one_pass(fields, json, "intent", storage);
    if (!loaded || *loaded) return std::string::npos;
    return loaded->error().offset;
  };
  const std::string pad(1100, ' ');
  for (const Row& row : rows) {
    const std::string& doc = row.document;
    EXPECT_EQ(offset_of(doc, false), row.offset) << doc;
    EXPECT_EQ(offset_of(pad + doc, false), pad.size() + row.offset) << "long: " << doc;
    EXPECT_EQ(offset_of(pad + doc, true), pad.size() + row.offset) << "long, owned: " << doc;
    if (doc.front() == '{') {
      // A member beyond a double, whose name sorts after every problem's.
      const std::string huge = doc.substr(0, doc.size() - 1) + R"(, "zz": 1e400})";
      EXPECT_EQ(offset_of(huge, false), row.offset) << "read again: " << doc;
      const std::string request = R"({"evidence": {}, "intent": )" + doc + "}";
      auto read = parse_and_load_request(intent, fields, evidence, evidence_fields, request);
      ASSERT_TRUE(read) << doc;
      ASSERT_FALSE(read->intent) << doc;
      EXPECT_EQ(read->intent.error().offset, 27 + row.offset) << "in a request: " << doc;
    }
  }
}

// ---------------------------------------------------------------------------
// Texts of every length, scanned before parsing and skipped through while
// parsing a word at a time

// A string member's text: plain runs broken by escapes and raw non-ASCII
// bytes, and one time in three one thing that breaks the text (invalid
// UTF-8, a lone surrogate, a NUL or control byte, a quote) at any offset;
// `size` bytes or a few more.
std::string scanned_text(std::mt19937& random, std::size_t size) {
  static const char* kPieces[] = {"\\u00e9", "\\\"", "\\n", "\\\\", "\xC3\xA9", "\\u0000", "u"};
  static const std::string kBreaks[] = {"\\udc00", "\xED\xA0\x80",       "\xFF", "\x01",
                                        "\"",      std::string(1, '\0'), "\\x"};
  std::string out;
  const int special_one_in = random() % 2 ? 6 : 60;
  while (out.size() < size) {
    if (static_cast<int>(random() % special_one_in) == 0) {
      out += kPieces[random() % std::size(kPieces)];
    } else {
      out += static_cast<char>('a' + random() % 26);
    }
  }
  if (random() % 3 == 0) out.insert(random() % (out.size() + 1), kBreaks[random() % 7]);
  return out;
}

// What the checks made one by one before parsing give for a request line:
// its first invalid UTF-8 byte, else check_json's error, else nothing.
std::optional<JsonError> separate_checks(std::string_view line) {
  if (const auto bad = utf8::validate(line))
    return JsonError::at("invalid UTF-8", line, bad->valid_up_to);
  return check_json(line);
}

TEST(ScannedTexts, EveryLengthLoadsAsTheGenericPathLoadsIt) {
  std::mt19937 random(2512);
  const types::EvidenceSchema evidence = evidence_schema();
  const types::IntentSchema intent = intent_schema();
  const auto evidence_fields = declared_fields(evidence);
  const auto intent_fields = declared_fields(intent);
  // Documents from a few bytes to either side of the small-document limit,
  // with each string's end at every offset within a block.
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 48; ++n) sizes.push_back(n);
  for (std::size_t n = 995; n <= 1020; ++n) sizes.push_back(n);
  int loaded = 0;
  for (const std::size_t n : sizes) {
    for (int round = 0; round < 12 && !HasFailure(); ++round) {
      const std::string text = "{\"s\":\"" + scanned_text(random, n) + "\",\"ss\":[\"" +
                               scanned_text(random, random() % 20) + "\"]}";
      expect_same(text);
      const std::string line = "{\"evidence\":" + text + "}";
      auto read = parse_and_load_request(intent, intent_fields, evidence, evidence_fields, line);
      const auto want = separate_checks(line);
      if (want) {
        ASSERT_FALSE(read) << line;
        ASSERT_EQ(read.error().kind, RequestProblem::Kind::Json) << line;
        EXPECT_EQ(read.error().json.message(), want->message()) << line;
        continue;
      }
      ASSERT_TRUE(read) << line;
      Outcome got;
      if (read->evidence) {
        for (std::size_t i = 0; i < evidence_fields.size(); ++i) {
          if ((*read->evidence)[i]) {
            got.values.emplace(std::string(evidence_fields[i].name),
                               Value{types::to_scalar((*read->evidence)[i])});
          }
        }
        ++loaded;
      } else {
        got.input_error = read->evidence.error().to_string();
      }
      EXPECT_EQ(got, reference(text, false)) << line;
    }
  }
  // Most texts are valid, so that the values are compared.
  EXPECT_GT(loaded, 300);
}

TEST(JsonTextOwnership, OwnedTextIsReleasedOnceRead) {
  std::vector<detail::DeclaredField> fields{{"i", Type::Int}};
  JsonText json = JsonText::owned(std::string(R"({"i": 5})"));
  const auto loaded = detail::load_in_one_pass(fields, json, "intent");
  ASSERT_TRUE(loaded.ok());
  EXPECT_TRUE(json.view().empty());
  ASSERT_TRUE(*loaded);
  EXPECT_EQ((*loaded)->at("i"), Value{std::int64_t{5}});
  // A text that is not JSON is kept as it was.
  JsonText bad = JsonText::owned(std::string(R"({"i": 1e999)"));
  EXPECT_FALSE(detail::load_in_one_pass(fields, bad, "intent"));
  EXPECT_EQ(bad.view(), R"({"i": 1e999)");
}

TEST(JsonTextOwnership, ShortOwnedTextSurvivesMoves) {
  JsonText json = JsonText::owned("{}");
  JsonText moved = std::move(json);
  EXPECT_EQ(moved.view(), "{}");
}

}  // namespace
}  // namespace verdane::runtime_input
