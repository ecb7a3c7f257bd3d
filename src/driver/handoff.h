// `verdane analyze` and `verdane serve` run in separate executables,
// verdane-analyze and verdane-serve, so that the solver, network and TLS
// libraries they need are never loaded by compile, print and eval.
#pragma once

#include <string>
#include <vector>

#include "driver/cli.h"
#include "support/result.h"

namespace verdane::driver {

// The command line that hands `args` to the analyzer at `analyzer`, which
// parses it into the same AnalyzeCommand: `analyze`, each option as
// `--name=value`, then `--` and the bytecode path.
std::vector<std::string> analyzer_argv(const std::string& analyzer, const AnalyzeCommand& args);

// Replaces this process with the analyzer, found next to the running
// executable (a build tree) or in ../libexec/verdane from it (an installed
// tree). Returns only on failure, with the one-line error message.
Result<int, std::string> run_analyze(const AnalyzeCommand& args);

// `verdane serve ...`: replaces this process with verdane-serve, found the
// same way, given the same arguments (`serve` first). Returns only on failure.
Result<int, std::string> run_serve(int argc, const char* const* argv);

}  // namespace verdane::driver
