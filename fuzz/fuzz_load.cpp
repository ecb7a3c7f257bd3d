// Any bytes as a request line, and as both documents of a decision, decided
// by the production loaders and by the reference kept for the tests (the
// generic JSON tree, its loaders and the evaluator on maps): the decisions,
// input errors and JSON errors must be identical.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/request_reference.h"

namespace {

struct Fixture {
  verdane::api::Template tmpl;
  verdane::types::PolicyTemplate model;
};

const Fixture& fixture() {
  static const Fixture f = [] {
    auto compiled = verdane::api::compile(verdane::test::kMixedTemplate);
    if (!compiled) std::abort();
    return Fixture{*compiled, verdane::test::model_of(verdane::test::kMixedTemplate)};
  }();
  return f;
}

void require_same(const std::string& got, const std::string& want) {
  if (got == want) return;
  std::fprintf(stderr, "production: %s\nreference:  %s\n", got.c_str(), want.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace verdane;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Fixture& f = fixture();
  require_same(test::describe(api::evaluate_request(f.tmpl, input)),
               test::reference_request(f.model, input));

  // The same bytes as the intent and as the evidence.
  auto document = runtime_input::parse_json(input);
  const std::string want = document ? test::reference_decision(f.model, *document, *document)
                                    : test::describe_json_error(document.error(), "intent");
  require_same(test::describe(api::evaluate_json(f.tmpl, input, input)), want);
  if (!document) return 0;
  auto intent = api::parse_intent(f.tmpl, std::string(input));
  auto evidence = api::parse_evidence(f.tmpl, std::string(input));
  if (!intent || !evidence) std::abort();
  require_same(test::describe(api::evaluate(f.tmpl, *intent, *evidence)), want);
  return 0;
}
