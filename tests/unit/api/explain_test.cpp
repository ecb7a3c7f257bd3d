// EvalOptions::explain as the API promises it, checked against the API
// itself: every (expression, value) pair of an explanation is a fact that a
// template made of that expression confirms.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "verdane/verdane.h"

namespace {

namespace api = verdane::api;

constexpr const char* kSchemas = R"(intent {
  a: int
  b: int
  s: string
  d: date
  f: bool
  t: set<string>
  n: set<int>
  ds: set<date>
}
evidence {
  x: int
  y: set<int>
  z: string
}
)";

// Random well-typed expressions over the schemas above, as source text.
class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  std::string boolean(int depth) {
    if (depth == 0) return pick({"True", "False", "intent.f"});
    switch (below(9)) {
      case 0:
        return "(" + integer(depth - 1) + pick({" < ", " <= ", " > ", " >= ", " == "}) +
               integer(depth - 1) + ")";
      case 1:
        return "(" + date() + pick({" < ", " >= ", " == "}) + date() + ")";
      case 2:
        return "(" + integer(depth - 1) + pick({" in ", " not in "}) +
               pick({"intent.n", "evidence.y", "{1, 2, 3}"}) + ")";
      case 3:
        return "(" + text() + pick({" in ", " not in "}) + pick({"intent.t", "{\"a\", \"b\"}"}) +
               ")";
      case 4:
        return "(" + pick({"intent.n", "evidence.y", "{}"}) +
               pick({" subset of ", " superset of ", " == "}) + pick({"intent.n", "evidence.y"}) +
               ")";
      case 5:
        return "(not " + boolean(depth - 1) + ")";
      case 6:
      case 7: {
        const char* word = below(2) ? " and " : " or ";
        std::string out = "(" + boolean(depth - 1);
        for (unsigned i = 0, n = 1 + below(3); i < n; ++i) out += word + boolean(depth - 1);
        return out + ")";
      }
      default:
        return "(" + text() + " == " + text() + ")";
    }
  }

  std::string intent() {
    return "{\"a\": " + number() + ", \"b\": " + number() +
           ", \"s\": " + pick({"\"a\"", "\"q\\\"\\\\\"", "\"é\""}) +
           ", \"d\": \"2024-02-29\", \"f\": " + pick({"true", "false"}) +
           ", \"t\": " + pick({"[]", "[\"a\", \"z\"]"}) +
           ", \"n\": " + pick({"[]", "[1, 3]", "[1, 2, 3, 4]"}) +
           ", \"ds\": [\"2024-02-29\", \"2023-01-01\"]}";
  }

  std::string evidence() {
    return "{\"x\": " + number() + ", \"y\": " + pick({"[]", "[2, 3]"}) + ", \"z\": \"a\"}";
  }

 private:
  std::string integer(int depth) {
    if (depth <= 0 || below(3) == 0) return pick({"intent.a", "intent.b", "evidence.x", "7", "-2"});
    return "(" + integer(depth - 1) + pick({" + ", " - ", " * "}) + integer(depth - 1) + ")";
  }
  std::string date() { return pick({"intent.d", "date(2024-03-01)"}); }
  std::string text() { return pick({"intent.s", "evidence.z", "\"a\""}); }
  // Large values make products overflow now and then.
  std::string number() { return pick({"0", "3", "-4", "3037000500", "4611686018427387904"}); }

  unsigned below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::string pick(std::initializer_list<const char*> options) {
    return *(options.begin() + below(static_cast<unsigned>(options.size())));
  }

  std::mt19937 rng_;
};

api::Template compiled(const std::string& constraints) {
  auto t =
      api::compile("name t\n" + std::string(kSchemas) + "requires {\n" + constraints + "\n}\n");
  EXPECT_TRUE(t) << t.error().to_string() << "\n" << constraints;
  return *t;
}

api::Decision decided(const api::Template& t, const std::string& intent,
                      const std::string& evidence, bool explain) {
  auto d = api::evaluate_json(t, intent, evidence, api::EvalOptions{explain});
  EXPECT_TRUE(d) << d.error().to_string();
  return *d;
}

TEST(ApiExplain, EveryPairIsConfirmedByItsOwnTemplate) {
  Generator gen(20261209);
  std::size_t checked = 0;
  std::size_t errors = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string constraint = gen.boolean(3);
    const api::Template t = compiled(constraint);
    const std::string intent = gen.intent();
    const std::string evidence = gen.evidence();
    const api::Decision plain = decided(t, intent, evidence, false);
    api::Decision explained = decided(t, intent, evidence, true);
    ASSERT_EQ(plain.outcomes.size(), explained.outcomes.size()) << constraint;
    for (std::size_t i = 0; i < explained.outcomes.size(); ++i) {
      api::Outcome& o = explained.outcomes[i];
      EXPECT_TRUE(plain.outcomes[i].explanation.empty());
      std::set<std::string> texts;
      for (std::size_t k = 0; k < o.explanation.size(); ++k) {
        const auto& [expr, value] = o.explanation[k];
        SCOPED_TRACE(constraint + "\n" + expr + " = " + value);
        EXPECT_TRUE(texts.insert(expr).second) << "listed twice";
        EXPECT_NE(expr, o.expression) << "the root is not listed";
        const bool error = value.rfind("error: ", 0) == 0;
        if (error) {
          EXPECT_EQ(k + 1, o.explanation.size()) << "an error ends the list";
          EXPECT_EQ(o.kind, api::Outcome::Kind::Errored);
          EXPECT_EQ(value, "error: " + o.reason);
        }
        // `e == v` holds for a value, and `e == e` raises the same error.
        // (The smallest integer has no literal of its own.)
        const std::string other = error                             ? expr
                                  : value == "-9223372036854775808" ? "(-9223372036854775807 - 1)"
                                                                    : value;
        const api::Decision fact =
            decided(compiled(expr + " == " + other), intent, evidence, false);
        if (error) {
          ++errors;
          ASSERT_EQ(fact.outcomes.size(), 1u);
          EXPECT_EQ(fact.outcomes[0].reason, o.reason);
        } else {
          EXPECT_TRUE(fact.pass);
        }
        ++checked;
      }
      // Apart from the explanation, the decision is the same.
      o.explanation.clear();
    }
    EXPECT_EQ(plain, explained) << constraint;
  }
  EXPECT_GT(checked, 800u);
  EXPECT_GT(errors, 5u);
}

TEST(ApiExplain, AllEntryPointsExplainAlikeAndReportPrintsThePairs) {
  const api::Template t =
      compiled("intent.a + evidence.x <= 10;\n  intent.b * intent.b > 0 and intent.s in intent.t");
  const std::string intent =
      R"({"a": 8, "b": 4611686018427387904, "s": "a", "d": "2024-01-01", "f": true,
          "t": [], "n": [], "ds": []})";
  const std::string evidence = R"({"x": 5, "y": [], "z": ""})";
  const api::EvalOptions explain{true};
  const api::Decision from_text = *api::evaluate_json(t, intent, evidence, explain);
  const api::Decision from_documents =
      api::evaluate(t, *api::parse_json(intent), *api::parse_json(evidence), explain);
  const api::Decision from_inputs =
      api::evaluate(t, *api::parse_intent(t, intent), *api::parse_evidence(t, evidence), explain);
  EXPECT_EQ(from_text, from_documents);
  EXPECT_EQ(from_text, from_inputs);

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  ASSERT_EQ(from_text.outcomes.size(), 2u);
  EXPECT_EQ(from_text.outcomes[0].explanation,
            (Pairs{{"intent.a", "8"}, {"evidence.x", "5"}, {"(intent.a + evidence.x)", "13"}}));
  EXPECT_EQ(from_text.outcomes[1].explanation,
            (Pairs{{"intent.b", "4611686018427387904"},
                   {"(intent.b * intent.b)",
                    "error: integer overflow in `4611686018427387904 * 4611686018427387904`"}}));
  EXPECT_EQ(from_text.report(),
            "decision=fail\n"
            "constraint[0] failed: ((intent.a + evidence.x) <= 10) (constraint evaluated to "
            "False)\n"
            "    intent.a = 8\n"
            "    evidence.x = 5\n"
            "    (intent.a + evidence.x) = 13\n"
            "constraint[1] error: (((intent.b * intent.b) > 0) and (intent.s in intent.t)) "
            "(integer overflow in `4611686018427387904 * 4611686018427387904`)\n"
            "    intent.b = 4611686018427387904\n"
            "    (intent.b * intent.b) = error: integer overflow in `4611686018427387904 * "
            "4611686018427387904`\n");

  // Input errors and passes carry nothing to explain.
  const api::Decision invalid = *api::evaluate_json(t, "{}", evidence, explain);
  EXPECT_EQ(invalid.report(),
            "decision=fail\ninput validation error: intent is missing required field `a`\n");
}

}  // namespace
