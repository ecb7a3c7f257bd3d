// `verdane test`: runs the cases of test files against their templates.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"

namespace verdane::testrun {

// How the runner reads files: each reader gives the whole file or the io
// error text that the lines embed.
struct Files {
  std::function<Result<std::string, std::string>(const std::string& path)> read_text;  // UTF-8
  std::function<Result<std::string, std::string>(const std::string& path)> read_bytes;
};

struct Summary {
  std::size_t passed = 0;
  std::size_t failed = 0;
};

// Runs every test file in the order given and writes, in file order, one
// line per case, "ok <file>: <name>" or "FAIL <file>: <name>: expected <E>,
// got <G>" followed by the decision's report (with its explanation) indented
// by four spaces; a file that cannot be run writes one "FAIL <file>:
// <problem>" line and counts as one failure, and the other files still run.
// The last line is "<passed> passed, <failed> failed". A template named by a
// relative path is looked up next to its test file. Texts from the files and
// paths show their control characters escaped.
Summary run_tests(const std::vector<std::string>& paths, const Files& files,
                  const std::function<void(std::string_view)>& write);

}  // namespace verdane::testrun
