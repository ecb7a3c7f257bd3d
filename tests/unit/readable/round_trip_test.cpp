// Printing a compiled template and compiling the printed text again must give
// a template that prints identically: the rendering is a fixed point after
// one round. (The first round may flatten a nested And in an And, or drop
// redundant parentheses, so only the texts are compared.)
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "parser/parse.h"
#include "readable/readable_print.h"
#include "typeck/lower.h"

namespace verdane::readable {
namespace {

Result<types::PolicyTemplate, errors::CompileError> compile(std::string_view src) {
  auto file = parser::parse(src);
  if (!file) return make_err(std::move(file).error());
  return typeck::lower(*file, src);
}

// Emits random template sources over a fixed schema. Expressions are
// well-typed when every compound operand is parenthesised; some parentheses
// are dropped at random, so a share of the sources fails to compile and is
// skipped (those failures are not what this test is about).
class SourceGen {
 public:
  explicit SourceGen(std::uint32_t seed) : rng_(seed) {}

  std::string template_source() {
    with_intent_ = chance(4, 5);
    std::string src = "name gen_" + std::to_string(next(1000)) + "\n";
    if (with_intent_) {
      src +=
          "intent {\n  n: int\n  o: optional int\n  d: date\n  s: string\n  b: bool\n"
          "  ns: set<int>\n  ss: set<string>\n  ds: optional set<date>\n}\n";
    }
    src +=
        "evidence {\n  en: int\n  ed: date\n  eb: bool\n  ens: set<int>\n  ess: set<string>\n"
        "  eds: set<date>\n  es: string\n}\nrequires {\n";
    const int count = 1 + next(4);
    for (int i = 0; i < count; ++i) {
      used_optional_ = false;
      std::string expr = boolean(3);
      src += used_optional_ ? "  optional: " : "  ";
      src += expr + ";\n";
    }
    src += "}\n";
    return src;
  }

 private:
  int next(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(int num, int den) { return next(den) < num; }

  // A compound operand in parentheses, or bare now and then.
  std::string sub(std::string text) { return chance(7, 8) ? "(" + text + ")" : text; }

  std::string field(const char* intent_name, const char* evidence_name,
                    bool optional_intent = false) {
    if (with_intent_ && chance(1, 2)) {
      if (optional_intent) used_optional_ = true;
      return std::string("intent.") + intent_name;
    }
    return std::string("evidence.") + evidence_name;
  }

  static constexpr const char* kInts[] = {"0", "1", "-5", "42", "9223372036854775807", "-3", "007"};
  static constexpr const char* kStrs[] = {
      "\"\"", "\"a\"", "\"q\\\"b\"", "\"\\\\\\n\\t\\r\"", "\"\xC3\xA4\xE2\x82\xAC\"", "\"B\""};
  static constexpr const char* kDates[] = {"date(2024-02-29)", "date(0007-03-04)",
                                           "date( 1999-12-31 )", "date(+999-01-01)"};

  std::string int_lit() { return kInts[next(std::size(kInts))]; }
  std::string str_lit() { return kStrs[next(std::size(kStrs))]; }
  std::string date_lit() { return kDates[next(std::size(kDates))]; }

  // Up to three distinct elements of one literal table, in random order.
  template <std::size_t N>
  std::string set_lit(const char* const (&table)[N]) {
    std::vector<const char*> pool(std::begin(table), std::end(table));
    std::shuffle(pool.begin(), pool.end(), rng_);
    std::string s = "{";
    const int n = 1 + next(3);
    for (int i = 0; i < n; ++i) {
      if (i > 0) s += ", ";
      s += pool[i];
    }
    return s + "}";
  }

  std::string integer(int depth) {
    const int pick = depth <= 0 ? next(2) : next(5);
    switch (pick) {
      case 0:
        return int_lit();
      case 1:
        return chance(1, 4) && with_intent_ ? field("o", "en", true) : field("n", "en");
      default: {
        static const char* const kOps[] = {" + ", " - ", " * "};
        return sub(integer(depth - 1)) + kOps[next(3)] + sub(integer(depth - 1));
      }
    }
  }
  std::string text() { return chance(1, 2) ? str_lit() : field("s", "es"); }
  std::string date() { return chance(1, 2) ? date_lit() : field("d", "ed"); }

  // A set of element kind k (0 int, 1 string, 2 date); `allow_empty` lets
  // `{}` appear where the context gives it a type.
  std::string set(int k, bool allow_empty) {
    if (allow_empty && chance(1, 6)) return "{}";
    if (chance(1, 2)) return k == 0 ? set_lit(kInts) : k == 1 ? set_lit(kStrs) : set_lit(kDates);
    if (k == 0) return field("ns", "ens");
    if (k == 1) return field("ss", "ess");
    return field("ds", "eds", true);
  }

  std::string scalar(int k, int depth) {
    return k == 0 ? integer(depth) : k == 1 ? text() : date();
  }

  std::string comparison(int depth) {
    static const char* const kAsc[] = {" < ", " <= ", " == "};
    static const char* const kDesc[] = {" > ", " >= ", " == "};
    const int k = next(3) == 0 ? 2 : 0;  // ordered kinds only: int or date
    const bool asc = chance(1, 2);
    std::string s = sub(scalar(k, depth - 1));
    const int ops = 1 + next(3);
    for (int i = 0; i < ops; ++i) {
      s += asc ? kAsc[next(3)] : kDesc[next(3)];
      s += sub(scalar(k, depth - 1));
    }
    return s;
  }

  std::string boolean(int depth) {
    const int pick = depth <= 0 ? next(3) : next(10);
    switch (pick) {
      case 0:
        return chance(1, 2) ? "True" : "False";
      case 1:
        return field("b", "eb");
      case 2: {
        const int k = next(3);
        return sub(scalar(k, 1)) + (chance(1, 2) ? " in " : " not in ") + set(k, true);
      }
      case 3:
        return comparison(depth);
      case 4: {
        const int k = next(3);
        const bool left_empty = chance(1, 5);
        return (left_empty ? std::string("{}") : set(k, false)) +
               (chance(1, 2) ? " subset of " : " superset of ") + set(k, !left_empty);
      }
      case 5: {
        const int k = next(3);
        return set(k, false) + (chance(1, 2) ? " == " : " == ") + set(k, true);
      }
      case 6:
        return "not " + sub(boolean(depth - 1));
      case 7:
        return sub(boolean(depth - 1)) + " == " + sub(boolean(depth - 1));
      default: {
        const char* word = chance(1, 2) ? " and " : " or ";
        std::string s = sub(boolean(depth - 1));
        const int n = 1 + next(3);
        for (int i = 0; i < n; ++i) s += word + sub(boolean(depth - 1));
        return s;
      }
    }
  }

  std::mt19937 rng_;
  bool with_intent_ = true;
  bool used_optional_ = false;
};

TEST(RoundTrip, PrintedTextCompilesToTheSameRendering) {
  constexpr int kTemplates = 600;
  int compiled = 0;
  for (int seed = 0; seed < kTemplates; ++seed) {
    SourceGen gen(static_cast<std::uint32_t>(seed));
    const std::string src = gen.template_source();
    auto first = compile(src);
    if (!first) continue;
    ++compiled;
    const std::string printed = readable_print(*first);
    auto second = compile(printed);
    ASSERT_TRUE(second) << "seed " << seed << "\nsource:\n"
                        << src << "\nprinted:\n"
                        << printed << "\nerror: " << second.error().to_string();
    ASSERT_EQ(readable_print(*second), printed) << "seed " << seed << "\nsource:\n" << src;
  }
  // Most generated sources must compile, or the property is barely tested.
  EXPECT_GT(compiled, kTemplates / 2);
}

}  // namespace
}  // namespace verdane::readable
