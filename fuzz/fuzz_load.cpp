// Any bytes as a request line, and as both documents of a decision, decided
// by the production loaders and by the reference kept for the tests (the
// generic JSON tree, its loaders and the evaluator on maps): the decisions,
// input errors and JSON errors must be identical.
#include <algorithm>
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

// Every way of reading `input` must agree with the reference.
void check(std::string_view input) {
  using namespace verdane;
  const Fixture& f = fixture();
  require_same(test::describe(api::evaluate_request(f.tmpl, input)),
               test::reference_request(f.model, input));

  // The same bytes as the intent and as the evidence.
  auto document = runtime_input::parse_json(input);
  const std::string want = document ? test::reference_decision(f.model, *document, *document)
                                    : test::describe_json_error(document.error(), "intent");
  require_same(test::describe(api::evaluate_json(f.tmpl, input, input)), want);
  if (!document) return;
  auto intent = api::parse_intent(f.tmpl, std::string(input));
  auto evidence = api::parse_evidence(f.tmpl, std::string(input));
  if (!intent || !evidence) std::abort();
  require_same(test::describe(api::evaluate(f.tmpl, *intent, *evidence)), want);
  auto json = api::parse_json(input);
  if (!json) std::abort();
  require_same(test::describe(api::evaluate(f.tmpl, *json, *json)), want);
}

// The input with `what` put in at `at` (clamped to its end).
std::string spliced(std::string_view input, std::size_t at, std::string_view what) {
  std::string out(input);
  out.insert(std::min(at, out.size()), what);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check(input);
  // Mutations rarely produce what the parser refuses as it stands: numbers
  // beyond a double, NUL bytes and invalid UTF-8. Each is put into the text
  // where it is likeliest to keep a valid document valid: after its first
  // digits, and inside its first string.
  const std::size_t digits =
      input.find_first_not_of("0123456789", input.find_first_of("0123456789"));
  const std::size_t quote = input.find('"');
  const std::size_t in_string = quote == std::string_view::npos ? size / 2 : quote + 1;
  check(spliced(input, digits, "e999"));
  check(spliced(input, digits, std::string(400, '9')));
  check(spliced(input, in_string, std::string_view("\0", 1)));
  check(spliced(input, in_string, "\xff"));
  check(spliced(input, in_string, "\xed\xa0\x80"));  // an encoded surrogate
  return 0;
}
