// Random requests through every production way of deciding one (a request
// line, two texts, two parsed inputs, two parsed documents) against the
// reference: the generic JSON tree, its loaders and the evaluator on maps.
// Decisions, input errors and JSON errors (kind, line, column, message) must
// be identical. The requests stress what the loaders treat specially:
// escapes, non-ASCII and invalid UTF-8, NUL bytes, numbers beyond a double,
// names spelled two ways or given twice, large sets and deep nesting.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/reference/json_tree.h"
#include "common/request_reference.h"

namespace verdane {
namespace {

using test::describe;
using test::describe_json_error;
using test::reference_decision;
using test::reference_request;

class RequestGenerator {
 public:
  explicit RequestGenerator(std::uint32_t seed) : rng_(seed) {}

  // One side: every declared field, most of them well-typed, some missing,
  // mistyped or given twice, and now and then an undeclared member.
  std::string document() {
    std::string out = "{";
    bool first = true;
    const auto member = [&](const std::string& name, const std::string& value) {
      if (!first) out += ',';
      first = false;
      out += space() + '"' + name + "\":" + space() + value;
    };
    // Most documents fit the schemas, so that the constraints run.
    clean_ = pick(4) != 0;
    for (const char* name : {"b", "d", "ds", "i", "is", "s", "ss"}) {
      if (noisy(14)) continue;
      member(spelling(name), noisy(18) ? any_value(2) : value_of(name));
      if (pick(25) == 0) member(spelling(name), value_of(name));
    }
    if (noisy(20)) member(pick(2) ? "z" : "a\\u0000", any_value(0));
    if (pick(60) == 0) member("deep", deep(pick(2) ? 600 : 3000));
    out += space() + '}';
    return out;
  }

  std::string request() {
    std::string out = "{";
    const int shape = pick(30);
    if (shape != 0) out += "\"intent\":" + document() + ",";
    if (shape == 1) out += "\"evidence\":" + document() + ",";
    if (shape == 2) out += "\"extra\":1,";
    out += shape == 3 ? "\"evidenc\":{}" : "\"evidence\":" + document();
    out += '}';
    return damage(std::move(out));
  }

  // Breaks a text now and then: cut short, a raw NUL byte or an invalid
  // UTF-8 byte put somewhere.
  std::string damage(std::string text) {
    const int what = pick(40);
    const auto at = [&] { return static_cast<std::size_t>(pick(static_cast<int>(text.size()))); };
    if (what == 0) text.resize(at());
    if (what == 1) text.insert(at(), 1, '\0');
    if (what == 2) text.insert(at(), 1, '\xFF');
    return text;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  // One chance in `n` of a mistake, none in a clean document.
  bool noisy(int n) { return !clean_ && pick(n) == 0; }

  std::string space() {
    static const char* kSpaces[] = {"", "", "", " ", "\n", "\r\n\t"};
    return kSpaces[pick(6)];
  }

  // A name as written: plainly, or with its first letter as an escape.
  std::string spelling(const char* name) {
    if (pick(10) != 0) return name;
    std::ostringstream out;
    out << "\\u00" << std::hex << static_cast<int>(name[0]) << (name + 1);
    return out.str();
  }

  std::string number() {
    static const char* kNumbers[] = {"0",
                                     "-0",
                                     "7",
                                     "-12",
                                     "9223372036854775807",
                                     "-9223372036854775808",
                                     "9223372036854775808",
                                     "1e999",
                                     "1.5",
                                     "2e3",
                                     "123456789012345678901234567890"};
    return noisy(4) ? kNumbers[pick(11)] : std::to_string(pick(40) - 10);
  }

  std::string text() {
    static const char* kTexts[] = {"a",
                                   "b",
                                   "",
                                   "\xC3\xA9",
                                   "\\u00e9",
                                   "a\\u0000",
                                   "\\n\\t",
                                   "\\ud83d\\ude00",
                                   "\\\"q\\\\",
                                   "x\\/y",
                                   "\xE2\x82\xAC",
                                   "\\u20ac",
                                   "abcdefghij",
                                   "\\udc00"};
    return std::string("\"") + kTexts[pick(noisy(50) ? 14 : 13)] + "\"";
  }

  std::string date() {
    static const char* kDates[] = {"2024-01-01", "2024-02-29", "2023-02-29", "2024-1-01",
                                   "+024-01-01", "2024-13-01", "2025-06-30", "9999-12-31"};
    return std::string("\"") + kDates[pick(noisy(6) ? 8 : 2)] + "\"";
  }

  template <typename Element>
  std::string set(Element element) {
    // Large sets now and then, past the loaders' small-set paths.
    const int n = pick(30) == 0 ? 200 + pick(800) : pick(5);
    std::string out = "[";
    for (int e = 0; e < n; ++e) {
      if (e) out += ',';
      out += noisy(40) ? any_value(3) : element(e);
    }
    return out + ']';
  }

  std::string value_of(std::string_view name) {
    if (name == "b") return pick(2) ? "true" : "false";
    if (name == "d") return date();
    if (name == "i") return number();
    if (name == "s") return text();
    if (name == "ds") return set([&](int) { return date(); });
    if (name == "is") {
      return set([&](int e) { return e > 5 ? std::to_string(e * 7 - 300) : number(); });
    }
    return set([&](int e) { return e > 5 ? "\"t" + std::to_string(e) + "\\u00e9\"" : text(); });
  }

  std::string any_value(int depth) {
    switch (pick(depth > 3 ? 5 : 7)) {
      case 0:
        return "null";
      case 1:
        return number();
      case 2:
        return text();
      case 3:
        return date();
      case 4:
        return pick(2) ? "[]" : "{}";
      case 5:
        return "[" + any_value(depth + 1) + "," + any_value(depth + 1) + "]";
      default:
        return "{\"k\":" + any_value(depth + 1) + "}";
    }
  }

  static std::string deep(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
  }

  std::mt19937 rng_;
  bool clean_ = true;
};

// Texts that decode to invalid UTF-8 make a request line not JSON, wherever
// they are, even where no field reads them.
TEST(RequestReference, TextsNoFieldReadsAreCheckedToo) {
  auto compiled = api::compile(test::kMixedTemplate);
  ASSERT_TRUE(compiled);
  const types::PolicyTemplate model = test::model_of(test::kMixedTemplate);
  for (const std::string line :
       {R"({"other":{"b":99,"ss":["a\uDDDD"]},"evidence":{}})", R"({"other":"\udc00"})",
        R"({"other":{"\udc00":1}})", R"("\udc00")", R"({"intent":{"z":["\udc00"]}})"}) {
    EXPECT_EQ(describe(api::evaluate_request(*compiled, line)), reference_request(model, line))
        << line;
  }
}

// Decides the two texts through evaluate_json, parsed inputs and parsed
// documents, each compared with the reference; the reference's description.
std::string expect_every_path(const api::Template& tmpl, const types::PolicyTemplate& model,
                              const std::string& intent, const std::string& evidence) {
  auto intent_doc = runtime_input::parse_json(intent);
  auto evidence_doc = runtime_input::parse_json(evidence);
  std::string want;
  if (!intent_doc) {
    want = describe_json_error(intent_doc.error(), "intent");
  } else if (!evidence_doc) {
    want = describe_json_error(evidence_doc.error(), "evidence");
  } else {
    want = reference_decision(model, *intent_doc, *evidence_doc);
  }
  const std::string context = "intent: " + intent + "\nevidence: " + evidence;
  EXPECT_EQ(describe(api::evaluate_json(tmpl, intent, evidence)), want) << context;
  if (!intent_doc || !evidence_doc) return want;
  auto intent_input = api::parse_intent(tmpl, intent);
  auto evidence_input = api::parse_evidence(tmpl, evidence);
  EXPECT_TRUE(intent_input && evidence_input) << context;
  if (!intent_input || !evidence_input) return want;
  EXPECT_EQ(describe(api::evaluate(tmpl, *intent_input, *evidence_input)), want) << context;
  const auto intent_json = api::parse_json(intent);
  const auto evidence_json = api::parse_json(evidence);
  EXPECT_TRUE(intent_json && evidence_json) << context;
  if (!intent_json || !evidence_json) return want;
  EXPECT_EQ(describe(api::evaluate(tmpl, *intent_json, *evidence_json)), want) << context;
  return want;
}

TEST(RequestReference, EveryPathDecidesAsTheReference) {
  auto compiled = api::compile(test::kMixedTemplate);
  ASSERT_TRUE(compiled) << compiled.error().to_string();
  const api::Template& tmpl = *compiled;
  const types::PolicyTemplate model = test::model_of(test::kMixedTemplate);
  RequestGenerator generator(20261209);
  int decided = 0;  // pairs whose constraints ran
  int passed = 0;
  for (int n = 0; n < 3000 && !HasFailure(); ++n) {
    const std::string line = generator.request();
    EXPECT_EQ(describe(api::evaluate_request(tmpl, line)), reference_request(model, line)) << line;

    // Two texts, and the same texts parsed first, as inputs or as documents.
    const std::string want = expect_every_path(tmpl, model, generator.damage(generator.document()),
                                               generator.damage(generator.document()));
    if (!want.starts_with("fail input") && !want.starts_with("error")) ++decided;
    if (want.starts_with("pass")) ++passed;
  }
  // Enough pairs fit the schemas for the comparison to reach the
  // constraints, and some of them pass.
  EXPECT_GT(decided, 1000);
  EXPECT_GT(passed, 200);
}

// Sets of texts and names as the loaded views hold them: names alike in
// their first eight bytes, large sets of texts sharing long prefixes, with
// empty texts, repeats, non-ASCII bytes and escapes, in documents large
// enough to be parsed where they lie (no backslash) or through the stream.
constexpr const char* kTextsTemplate = R"(name texts

intent {
  customer_name_a: string
  customer_name_b: optional string
  tags: set<string>
}

evidence {
  allowed_customers: set<string>
  customer_name_a: string
  tags: set<string>
}

requires {
  intent.customer_name_a in evidence.allowed_customers;
  optional: intent.customer_name_b in evidence.allowed_customers;
  intent.tags == evidence.tags or intent.tags subset of evidence.allowed_customers;
  evidence.tags superset of intent.tags or intent.customer_name_a == evidence.customer_name_a;
}
)";

class TextsGenerator {
 public:
  explicit TextsGenerator(std::uint32_t seed) : rng_(seed) {}

  std::string intent() {
    escapes_ = pick(3) == 0;
    std::string out = "{";
    member(out, "customer_name_a", text());
    if (pick(2)) member(out, "customer_name_b", text());
    member(out, "tags", set());
    if (pick(8) == 0) member(out, "tags", set());  // the last one counts
    if (pick(10) == 0) member(out, "customer_name_c", text());
    return out + "}";
  }

  std::string evidence() {
    escapes_ = pick(3) == 0;
    std::string out = "{";
    member(out, "allowed_customers", set(2));
    member(out, "customer_name_a", text());
    member(out, pick(12) ? "tags" : "customer_name_", set());
    if (pick(10) == 0) member(out, "allowed_customers", pick(2) ? set() : text());
    return out + "}";
  }

  // A request line holding the two documents.
  std::string request() { return "{\"intent\":" + intent() + ",\"evidence\":" + evidence() + "}"; }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  static void member(std::string& out, const char* name, const std::string& value) {
    if (out.size() > 1) out += ',';
    out += '"';
    out += name;
    out += "\":" + value;
  }

  std::string text() {
    static const char* kPlain[] = {"",           "a",         "b",          "\xC3\xA9",
                                   "customer",   "customer-", "customer-1", "customer-10",
                                   "customer-2", "\x7F",      "zz"};
    static const char* kEscaped[] = {"\\u00e9", "a\\n", "customer-\\u0031", "\\\"q"};
    if (escapes_ && pick(6) == 0) return std::string("\"") + kEscaped[pick(4)] + "\"";
    if (pick(3) == 0) {
      // Long shared prefixes, ties on their first eight bytes and beyond.
      return "\"customer-name-prefix-" + std::to_string(pick(400)) + "\"";
    }
    return std::string("\"") + kPlain[pick(11)] + "\"";
  }

  // Large one time in `large`.
  std::string set(int large = 6) {
    const int n = pick(large) == 0 ? 257 + pick(1500) : pick(6);
    std::string out = "[";
    for (int e = 0; e < n; ++e) {
      if (e) out += ',';
      out += text();
    }
    return out + "]";
  }

  std::mt19937 rng_;
  bool escapes_ = false;
};

TEST(RequestReference, TextSetsAndLongNamesDecideAsTheReference) {
  auto compiled = api::compile(kTextsTemplate);
  ASSERT_TRUE(compiled) << compiled.error().to_string();
  const types::PolicyTemplate model = test::model_of(kTextsTemplate);
  TextsGenerator generator(20261210);
  int passed = 0;
  int failed = 0;
  for (int n = 0; n < 400 && !HasFailure(); ++n) {
    const std::string line = generator.request();
    EXPECT_EQ(describe(api::evaluate_request(*compiled, line)), reference_request(model, line))
        << line;
    const std::string want =
        expect_every_path(*compiled, model, generator.intent(), generator.evidence());
    if (want.starts_with("pass")) ++passed;
    if (want.starts_with("fail") && !want.starts_with("fail input")) ++failed;
  }
  EXPECT_GT(passed, 20);
  EXPECT_GT(failed, 20);
}

}  // namespace
}  // namespace verdane
