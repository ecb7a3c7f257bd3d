// Typed programs against the generic ones: deciding a template (which runs
// the typed program of each constraint) gives, for random well-typed
// constraints and inputs, exactly the outcome that evaluating each
// constraint's expression on its own (the generic program) gives.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <variant>

// GCC 12 inlines the generator's string concatenations here and then warns
// falsely about overlapping copies (its bug 105651).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include "common/expr_generator.h"
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include "common/reference/load.h"
#include "evaluator/evaluate.h"
#include "parser/parse.h"
#include "typeck/lower.h"

namespace verdane::evaluator {
namespace {

using errors::ConstraintOutcome;

types::PolicyTemplate compiled(const std::string& constraints) {
  std::string source = "name t\n";
  source += test::kSchemas;
  source += "requires {\n";
  source += constraints;
  source += "}\n";
  auto file = parser::parse(source);
  EXPECT_TRUE(file) << constraints;
  auto tmpl = typeck::lower(*file, source);
  EXPECT_TRUE(tmpl) << tmpl.error().message() << "\n" << constraints;
  return std::move(tmpl).value();
}

template <typename Schema>
types::ValueMap loaded(const Schema& schema, const std::string& json) {
  auto document = runtime_input::parse_json(json);
  EXPECT_TRUE(document) << json;
  if constexpr (std::is_same_v<Schema, types::IntentSchema>) {
    return runtime_input::load_intent(schema, *document).value();
  } else {
    return runtime_input::load_evidence(schema, *document).value();
  }
}

TEST(TypedPrograms, DecideAsTheGenericProgramsDo) {
  test::Generator generate(20260514);
  int failed = 0;
  int errored = 0;
  for (int round = 0; round < 300; ++round) {
    std::string constraints;
    for (int i = 0; i < 4; ++i) {
      constraints += generate.boolean(3);
      constraints += ";\n";
    }
    const types::PolicyTemplate tmpl = compiled(constraints);
    const types::ValueMap intent = loaded(tmpl.intent_schema, generate.intent());
    const types::ValueMap evidence = loaded(tmpl.evidence_schema, generate.evidence());
    const Plan plan(tmpl);
    const auto decided = evaluate(tmpl, intent, evidence);
    ASSERT_TRUE(std::holds_alternative<Decision>(decided));
    const auto& outcomes = std::get<Decision>(decided).outcomes;
    auto next = outcomes.begin();
    for (std::size_t index = 0; index < tmpl.constraints.size(); ++index) {
      ASSERT_FALSE(plan.typed_program(index).empty()) << constraints;
      const auto value = eval_expr(tmpl.constraints[index].expr, intent, evidence);
      const bool passes = value && std::get<bool>(value->data);
      if (passes) {
        EXPECT_TRUE(next == outcomes.end() || next->index != index) << constraints;
        continue;
      }
      ASSERT_TRUE(next != outcomes.end() && next->index == index) << constraints;
      if (value) {
        EXPECT_EQ(next->kind, ConstraintOutcome::Kind::Failed) << constraints;
        ++failed;
      } else {
        EXPECT_EQ(next->kind, ConstraintOutcome::Kind::Errored) << constraints;
        EXPECT_EQ(next->reason, value.error()) << constraints;
        ++errored;
      }
      ++next;
    }
    EXPECT_TRUE(next == outcomes.end()) << constraints;
  }
  // The random cases reach every kind of outcome.
  EXPECT_GT(failed, 100);
  EXPECT_GT(errored, 20);
}

}  // namespace
}  // namespace verdane::evaluator
