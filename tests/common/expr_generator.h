// Random well-typed expressions and inputs for property tests: the source
// text of boolean expressions over the schemas kSchemas declares, and intent
// and evidence documents that fit those schemas.
#pragma once

#include <initializer_list>
#include <random>
#include <string>

namespace verdane::test {

inline constexpr const char* kSchemas = R"(intent {
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

}  // namespace verdane::test
