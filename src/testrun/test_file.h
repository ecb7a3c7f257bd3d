// A test file: a template and cases of requests with their expected decisions.
//
//   {"template": "<path>" | "bytecode": "<path>",   (exactly one; relative to
//    "template_id": "<id>",                          the test file; id optional)
//    "cases": [{"name": "<text>", "intent": {...}, "evidence": {...},
//               "expect": "pass" | {"failed": [<i>...], "errored": [<i>...]}
//                                | {"input_error": "<text>"}}, ...]}
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace verdane::testrun {

// A decision as a case states it: an input error with its text, or the sets
// of constraint indices that fail and that error (both empty for a pass).
struct Expectation {
  std::optional<std::string> input_error;
  std::vector<std::size_t> failed;   // ascending, no index twice
  std::vector<std::size_t> errored;  // ascending, no index twice

  friend bool operator==(const Expectation&, const Expectation&) = default;
};

struct TestCase {
  std::string name;      // not empty, unique within its file
  std::string intent;    // the JSON text of the intent object, "{}" when absent
  std::string evidence;  // the JSON text of the evidence object
  Expectation expect;
};

struct TestFile {
  bool bytecode = false;                   // whether `source` names bytecode
  std::string source;                      // the path as written, not empty
  std::optional<std::string> template_id;  // as written
  std::vector<TestCase> cases;             // in file order, at least one
};

// Reads the text of a test file. A problem is one line naming where it is by
// its JSON path when it has one, e.g. "cases[2].expcet: unknown key (did you
// mean `expect`?)"; syntax errors carry their line and column. Repeated keys,
// `failed`/`errored` indices given twice or in both lists, empty names and
// paths, repeated case names and an empty `cases` are problems too.
Result<TestFile, std::string> read_test_file(std::string_view text);

}  // namespace verdane::testrun
