// Runs one stage of benchmark (a) a fixed number of times, for instruction
// counts that repeat exactly under callgrind (a shared machine's wall time
// does not):
//   valgrind --tool=callgrind build/bench/bench_decision_count <stage> <n>
// and divide the total by n (less the count of the same stage with n = 0,
// which is the set-up). Stages: floor (RapidJSON parsing the two texts),
// floor-line (RapidJSON parsing a request line), parsed (evaluate on parsed
// inputs), json (evaluate_json), request (evaluate_request); a "-fail"
// suffix decides the failing intent.
#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "payment_case.h"

using namespace payment_case;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <stage> <n>\n", argv[0]);
    return 2;
  }
  std::string stage = argv[1];
  const long n = std::atol(argv[2]);
  const bool fail = stage.ends_with("-fail");
  if (fail) stage.resize(stage.size() - 5);
  const std::string& intent = fail ? kFailIntent : kIntent;
  const api::Template tmpl = payment();
  const std::string line = request(intent);
  long passed = 0;
  if (stage == "floor") {
    for (long i = 0; i < n; ++i) {
      rapidjson::Document a;
      a.Parse(intent.data(), intent.size());
      rapidjson::Document b;
      b.Parse(kEvidence.data(), kEvidence.size());
      passed += !a.HasParseError() && !b.HasParseError();
    }
  } else if (stage == "floor-line") {
    for (long i = 0; i < n; ++i) {
      rapidjson::Document doc;
      doc.Parse(line.data(), line.size());
      passed += !doc.HasParseError();
    }
  } else if (stage == "parsed") {
    const auto i = api::parse_intent(tmpl, intent);
    const auto e = api::parse_evidence(tmpl, kEvidence);
    if (!i || !e) return 1;
    for (long k = 0; k < n; ++k) passed += api::evaluate(tmpl, *i, *e).pass;
  } else if (stage == "json") {
    for (long k = 0; k < n; ++k) passed += api::evaluate_json(tmpl, intent, kEvidence)->pass;
  } else if (stage == "request") {
    for (long k = 0; k < n; ++k) passed += api::evaluate_request(tmpl, line)->pass;
  } else {
    std::fprintf(stderr, "unknown stage `%s`\n", stage.c_str());
    return 2;
  }
  std::printf("%ld of %ld passed\n", passed, n);
  return 0;
}
