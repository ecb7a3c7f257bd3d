// The subcommands, each run from start to finish.
#pragma once

#include <optional>
#include <string>

#include "driver/cli.h"
#include "driver/io.h"
#include "support/result.h"

namespace verdane::driver {

// Each returns the exit status it chose (0, or 1 for decision=fail) or the
// one error message the driver prints on standard error (exit status 1).
Result<int, std::string> run_compile(const CompileCommand& args, Stdout& out);
Result<int, std::string> run_print(const PrintCommand& args, Stdout& out);
// What an eval that has written its decision leaves behind: the template and
// the two documents, for a caller that is about to end the process to drop
// with it instead of freeing them piece by piece (a small eval spends a fair
// share of its run on that). Owned by the caller, on its stack, so that a
// leak checker at exit still finds every block reachable.
struct EvalRemains {
  std::optional<api::Template> tmpl;
  std::optional<api::Input> intent;
  std::optional<api::Input> evidence;
};

// Moves what it decided with into `remains` once the decision is written.
Result<int, std::string> run_eval(const EvalCommand& args, Stdout& out, EvalRemains& remains);
// Exit status 0 when every case passed, else 1; only a failed write to
// standard output is an error.
Result<int, std::string> run_test(const TestCommand& args, Stdout& out);

}  // namespace verdane::driver
