// evaluate_request and evaluate_batch: a request line decides exactly as
// evaluate_json on its two documents (both one-pass and generic parsing),
// problems of shape are errors in their fixed order, and batches decided on
// several threads at once agree with one thread. Decision::to_json escapes
// only what JSON requires. BatchLines, which writes each line straight from
// the evaluation, writes the bytes of evaluate_batch and append_batch_line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/batch_lines.h"
#include "verdane/verdane.h"

namespace {

namespace api = verdane::api;

api::Template limits() {
  auto tmpl = api::compile(R"(name limits
intent {
  amount: int
  tags: set<string>
  day: optional date
}
evidence {
  balance: int
  allowed: set<string>
  cutoff: date
}
requires {
  0 < intent.amount <= evidence.balance;
  intent.tags subset of evidence.allowed;
  optional: intent.day <= evidence.cutoff;
  intent.amount * 4611686018427387904 > 0
})");
  EXPECT_TRUE(tmpl) << tmpl.error().to_string();
  return *tmpl;
}

// Documents of every kind: fitting, failing, mistyped, not objects, not JSON,
// and texts that only the generic parser reads (a number beyond a double, a
// NUL byte, a lone surrogate escape).
const std::vector<std::string> kIntents = {
    R"({"amount": 1, "tags": ["a"]})",
    R"({"amount": 5, "tags": ["a"]})",
    R"({"amount": 500, "tags": ["a", "z"], "day": "2025-01-01"})",
    R"({"amount": 2, "tags": [], "day": "2024-02-30"})",
    R"({"amount": "5", "tags": []})",
    R"({"amount": 1, "tags": [], "extra": true, "amount": 3})",
    R"({"amount": 1e400, "tags": []})",
    R"({"tags": ["\udc00"]})",
    "[]",
    "null",
    R"({"amount": 1,)",
};
const std::vector<std::string> kEvidence = {
    R"({"balance": 100, "allowed": ["a", "b"], "cutoff": "2024-12-31"})",
    R"({"balance": 100, "allowed": ["a"]})",
    R"({"balance": 1e400, "allowed": [], "cutoff": "2024-12-31"})",
    "5",
    R"({"balance": 1, "allowed": [1]})",
};

std::string request(const std::string* intent, const std::string& evidence) {
  return intent ? R"({"intent": )" + *intent + R"(, "evidence": )" + evidence + "}"
                : R"({"evidence": )" + evidence + "}";
}

TEST(ApiRequest, DecidesAsEvaluateJsonOnItsDocuments) {
  const api::Template tmpl = limits();
  int decisions = 0;
  for (const std::string& evidence : kEvidence) {
    for (std::size_t i = 0; i <= kIntents.size(); ++i) {
      const std::string* intent = i < kIntents.size() ? &kIntents[i] : nullptr;
      const auto single = api::evaluate_json(tmpl, intent ? *intent : "{}", evidence);
      const std::string line = request(intent, evidence);
      const auto batched = api::evaluate_request(tmpl, line);
      if (single) {
        ASSERT_TRUE(batched) << line << ": " << batched.error().to_string();
        EXPECT_EQ(*batched, *single) << line;
        ++decisions;
      } else {
        ASSERT_FALSE(batched) << line;
        EXPECT_EQ(batched.error().kind, api::Error::Kind::Json) << line;
      }
    }
  }
  EXPECT_GT(decisions, 30);
}

TEST(ApiRequest, ProblemsOfShapeInOrder) {
  const api::Template tmpl = limits();
  const std::string e = R"({"balance": 1, "allowed": [], "cutoff": "2024-12-31"})";
  struct Row {
    std::string text;
    api::Error::Kind kind;
    std::string error;
  };
  const std::vector<Row> rows = {
      {"[1]", api::Error::Kind::Request, "a request must be a JSON object"},
      {R"("x")", api::Error::Kind::Request, "a request must be a JSON object"},
      {R"({"zz": 1, "b": 2, "evidence": )" + e + "}", api::Error::Kind::Request,
       "unknown member `b` (a request has only `intent` and `evidence`)"},
      {R"({"b": 1})", api::Error::Kind::Request,
       "unknown member `b` (a request has only `intent` and `evidence`)"},
      {R"({"intent": {}})", api::Error::Kind::Request, "missing member `evidence`"},
      {R"({"evidence": )" + e + " x", api::Error::Kind::Json,
       "expected ',' or '}' after an object member at line 1 column 68"},
      {"{\"evidence\": \xff}", api::Error::Kind::Json, "invalid UTF-8 at line 1 column 14"},
      {"{\"evidence\":\n 1 2}", api::Error::Kind::Json,
       "expected ',' or '}' after an object member at line 2 column 4"},
      {R"({"b": 1, "evidence": 1e400})", api::Error::Kind::Request,
       "unknown member `b` (a request has only `intent` and `evidence`)"},
  };
  for (const Row& row : rows) {
    const auto result = api::evaluate_request(tmpl, row.text);
    ASSERT_FALSE(result) << row.text;
    EXPECT_EQ(result.error().kind, row.kind) << row.text;
    EXPECT_EQ(result.error().to_string(), row.error) << row.text;
  }
  // A member given twice counts with its last value.
  const auto twice = api::evaluate_request(
      tmpl, R"({"evidence": 5, "intent": {"amount": 1, "tags": []}, "evidence": )" + e + "}");
  ASSERT_TRUE(twice);
  EXPECT_TRUE(twice->pass);
}

TEST(ApiBatch, ThreadsDecidingTheirOwnBatchesAgree) {
  const api::Template tmpl = limits();
  std::vector<std::string> texts;
  for (const std::string& evidence : kEvidence) {
    for (const std::string& intent : kIntents) texts.push_back(request(&intent, evidence));
  }
  texts.push_back("not json");
  const std::vector<std::string_view> requests(texts.begin(), texts.end());
  const auto expected = api::evaluate_batch(tmpl, requests);
  ASSERT_EQ(expected.size(), requests.size());

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        const auto results = api::evaluate_batch(tmpl, requests);
        for (std::size_t i = 0; i < results.size(); ++i) {
          const bool same = results[i] ? expected[i] && *results[i] == *expected[i]
                                       : !expected[i] && results[i].error().to_string() ==
                                                             expected[i].error().to_string();
          if (!same) ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// A batch reuses one request's memory for the next: whatever came before,
// each request must decide as it does alone. Large requests (sets of
// thousands of texts, past what the reused memory keeps) sit among small
// ones and bad ones, in shuffled orders.
TEST(ApiBatch, EachRequestDecidesAsAloneWhateverCameBefore) {
  const api::Template tmpl = limits();
  std::vector<std::string> texts;
  for (const std::string& evidence : kEvidence) {
    for (const std::string& intent : kIntents) texts.push_back(request(&intent, evidence));
    texts.push_back(request(nullptr, evidence));
  }
  for (const std::size_t n : {20, 3000, 9000}) {
    std::string many;
    for (std::size_t i = 0; i < n; ++i)
      many += (i ? ",\"t" : "\"t") + std::to_string(i * 7919 % n) + '"';
    texts.push_back(R"({"intent": {"amount": 5, "tags": [)" + many +
                    R"(]}, "evidence": {"balance": 9, "allowed": [)" + many +
                    R"(], "cutoff": "2024-12-31"}})");
    texts.push_back(R"({"evidence": {"balance": 9, "allowed": [)" + many + R"(, 7]}})");
  }
  texts.push_back("not json");
  std::mt19937 random(25);
  for (int round = 0; round < 8; ++round) {
    std::shuffle(texts.begin(), texts.end(), random);
    const std::vector<std::string_view> requests(texts.begin(), texts.end());
    const auto results = api::evaluate_batch(tmpl, requests);
    ASSERT_EQ(results.size(), requests.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
      const auto alone = api::evaluate_request(tmpl, requests[i]);
      ASSERT_EQ(results[i].has_value(), alone.has_value()) << requests[i];
      if (alone) {
        EXPECT_EQ(results[i]->to_json(), alone->to_json()) << requests[i];
      } else {
        EXPECT_EQ(results[i].error().to_string(), alone.error().to_string()) << requests[i];
      }
    }
  }
}

// Random windows of requests of every kind through BatchLines and through
// evaluate_batch with append_batch_line, with and without explanations: the
// same bytes, and "passed" exactly when the decision passes. One BatchLines
// serves every window, as its texts are built once and then reused.
void expect_same_lines(const api::Template& tmpl,
                       const std::function<std::string(std::mt19937&)>& random_request) {
  std::mt19937 random(2025);
  std::size_t failing = 0, passing = 0, broken = 0;
  for (const bool explain : {false, true}) {
    const api::EvalOptions options{explain};
    api::BatchLines lines(tmpl, options);
    std::uint64_t number = 1;
    for (int window = 0; window < 120; ++window) {
      std::vector<std::string> texts(random() % 25);
      for (std::string& text : texts) text = random_request(random);
      const std::vector<std::string_view> requests(texts.begin(), texts.end());
      const auto decided = api::evaluate_batch(tmpl, requests, options);
      ASSERT_EQ(decided.size(), requests.size());
      std::string expected = "kept", written = "kept";
      for (std::size_t i = 0; i < requests.size(); ++i, number += 1 + random() % 3) {
        api::append_batch_line(expected, number, decided[i]);
        const bool passed = lines.decide(number, requests[i], written);
        ASSERT_EQ(passed, decided[i] && decided[i]->pass) << requests[i];
        (!decided[i] ? broken : passed ? passing : failing) += 1;
      }
      ASSERT_EQ(written, expected) << "window " << window << (explain ? " explained" : "");
    }
  }
  EXPECT_GT(failing, 300u);
  EXPECT_GT(passing, 30u);
  EXPECT_GT(broken, 100u);
}

template <typename T>
const T& pick(std::mt19937& random, const std::vector<T>& from) {
  return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
}

// Lines that are not requests: not JSON, or not of a request's shape.
const std::vector<std::string> kNotRequests = {
    "not json", R"({"intent": {}})",        R"({"intent": {}, "evidence": {}, "x": 1})",
    "[1]",      R"({"evidence": {"a": 1,)", "{\"evidence\": \xff}",
    "",
};

TEST(ApiBatch, BatchLinesWriteWhatEvaluateBatchDecides) {
  expect_same_lines(limits(), [](std::mt19937& random) {
    if (random() % 6 == 0) return pick(random, kNotRequests);
    const std::string& evidence = pick(random, kEvidence);
    return random() % 10 == 0 ? request(nullptr, evidence)
                              : request(&pick(random, kIntents), evidence);
  });
  // Literals whose texts JSON escapes; one constraint that fails for some
  // requests and errs, with reasons that differ, for others.
  const auto quoted = api::compile(R"(name quoted
intent { note: string }
evidence { n: int }
requires {
  intent.note in {"tab\there", "quote\"back\\slash", "plain"};
  not (intent.note == "line\nfeed");
  evidence.n + 9223372036854775807 > 0
})");
  ASSERT_TRUE(quoted) << quoted.error().to_string();
  const std::vector<std::string> notes = {R"("plain")", R"("tab\there")", R"("line\nfeed")",
                                          R"("\u001b")", "7"};
  const std::vector<std::string> numbers = {"0", "-9223372036854775807", "1", "42", "\"1\""};
  expect_same_lines(*quoted, [&](std::mt19937& random) {
    if (random() % 6 == 0) return pick(random, kNotRequests);
    return R"({"intent": {"note": )" + pick(random, notes) + R"(}, "evidence": {"n": )" +
           pick(random, numbers) + "}}";
  });
}

TEST(ApiDecisionJson, EscapesOnlyWhatJsonRequires) {
  api::Decision pass;
  pass.pass = true;
  EXPECT_EQ(pass.to_json(), R"({"decision":"pass"})");

  api::Decision invalid;
  invalid.input_error = "intent: field `\x1b[1m\t\"\\\x7f\xc3\xa9`: x";
  EXPECT_EQ(invalid.to_json(),
            "{\"decision\":\"fail\",\"input_error\":\"intent: field "
            "`\\u001b[1m\\t\\\"\\\\\x7f\xc3\xa9`: x\"}");

  api::Decision fail;
  fail.outcomes = {
      {api::Outcome::Kind::Failed, 0, "(a == \"\\n\")", "constraint evaluated to False", {}},
      {api::Outcome::Kind::Errored, 3, "(x)", "bad \x01\b\f\n\r", {{"(a\tb)", "\"\xc3\xa9\""}}}};
  EXPECT_EQ(fail.to_json(),
            R"j({"decision":"fail","outcomes":[)j"
            R"j({"index":0,"outcome":"failed","expression":"(a == \"\\n\")",)j"
            R"j("reason":"constraint evaluated to False"},)j"
            R"j({"index":3,"outcome":"errored","expression":"(x)","reason":"bad \u0001\b\f\n\r",)j"
            "\"explanation\":[[\"(a\\tb)\",\"\\\"\xc3\xa9\\\"\"]]}]}");
  // Appending keeps what the text held and adds exactly the same object.
  for (const api::Decision* d : {&pass, &invalid, &fail}) {
    std::string text = "{\"line\":7";
    d->append_json(text);
    EXPECT_EQ(text, "{\"line\":7" + d->to_json());
  }

  // Invalid UTF-8, which no decision holds, still gives valid JSON.
  api::Decision broken;
  broken.input_error = "\xff";
  EXPECT_EQ(broken.to_json(), "{\"decision\":\"fail\",\"input_error\":\"\xef\xbf\xbd\"}");
}

}  // namespace
