// The subcommands, each run from start to finish.
#pragma once

#include <string>

#include "driver/cli.h"
#include "driver/io.h"
#include "support/result.h"

namespace verdane::driver {

// Each returns the exit status it chose (0, or 1 for decision=fail) or the
// one error message the driver prints on standard error (exit status 1).
Result<int, std::string> run_compile(const CompileCommand& args, Stdout& out);
Result<int, std::string> run_print(const PrintCommand& args, Stdout& out);
Result<int, std::string> run_eval(const EvalCommand& args, Stdout& out);
// Exit status 0 when every case passed, else 1; only a failed write to
// standard output is an error.
Result<int, std::string> run_test(const TestCommand& args, Stdout& out);

}  // namespace verdane::driver
