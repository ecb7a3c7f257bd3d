// One compiled template shared by several threads: evaluations run at the
// same time must each give the decision a lone evaluation gives.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "verdane/verdane.h"

namespace {

namespace api = verdane::api;

TEST(ApiThreads, ConcurrentEvaluationsOfOneTemplateAgree) {
  const auto tmpl = api::compile(R"(name limits
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
  optional: intent.day <= evidence.cutoff
})");
  ASSERT_TRUE(tmpl) << tmpl.error().to_string();

  // Requests of every kind: pass, fail, errored, input error.
  std::vector<std::pair<std::string, std::string>> requests;
  for (int i = 0; i < 16; ++i) {
    requests.emplace_back(
        R"({"amount": )" + std::to_string(i * 40 - 100) + R"(, "tags": ["a")" +
            (i % 3 == 0 ? R"(, "z")" : "") + "]" +
            (i % 4 == 0 ? R"(, "day": "2024-0)" + std::to_string(i % 9 + 1) + R"(-01")" : "") +
            (i % 5 == 0 ? R"(, "bad": 1)" : "") + "}",
        R"({"balance": 300, "allowed": ["a", "b"], "cutoff": "2024-05-31"})");
  }
  std::vector<api::Decision> expected;
  for (const auto& [intent, evidence] : requests) {
    auto decision = api::evaluate_json(*tmpl, intent, evidence);
    ASSERT_TRUE(decision) << decision.error().to_string();
    expected.push_back(*decision);
  }

  // Every thread works on a copy of the handle, which shares the template,
  // and on the original itself.
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::atomic<int> mismatches{0};
  std::atomic<int> evaluations{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const api::Template copy = *tmpl;
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t i = static_cast<std::size_t>(round * kThreads + t) % requests.size();
        const api::Template& which = round % 2 == 0 ? copy : *tmpl;
        auto decision = api::evaluate_json(which, requests[i].first, requests[i].second);
        if (!decision || !(*decision == expected[i])) ++mismatches;
        ++evaluations;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(evaluations.load(), kThreads * kRounds);

  // The mix really covers every kind of decision.
  int pass = 0, outcomes = 0, input_errors = 0;
  for (const api::Decision& d : expected) {
    pass += d.pass;
    outcomes += !d.outcomes.empty();
    input_errors += d.input_error.has_value();
  }
  EXPECT_GT(pass, 0);
  EXPECT_GT(outcomes, 0);
  EXPECT_GT(input_errors, 0);
}

TEST(ApiThreads, SharedInputsGiveTheSameDecisionEverywhere) {
  const auto tmpl = api::compile(
      "name t\nintent { tags: set<string> }\nevidence { allowed: set<string> }\n"
      "requires { intent.tags subset of evidence.allowed }");
  ASSERT_TRUE(tmpl) << tmpl.error().to_string();
  std::string allowed = R"({"allowed": [)";
  for (int i = 0; i < 5000; ++i) allowed += (i ? ",\"t" : "\"t") + std::to_string(i) + "\"";
  allowed += "]}";
  const auto intent = api::parse_intent(*tmpl, R"({"tags": ["t17", "t4999"]})");
  const auto evidence = api::parse_evidence(*tmpl, allowed);
  ASSERT_TRUE(intent && evidence);
  const api::Decision expected = api::evaluate(*tmpl, *intent, *evidence);
  ASSERT_TRUE(expected.pass);

  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      const api::Input copy = *evidence;
      for (int round = 0; round < 200; ++round) {
        if (!(api::evaluate(*tmpl, *intent, round % 2 ? copy : *evidence) == expected)) {
          ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
