// `verdane analyze` runs in a separate executable, verdane-analyze, so that
// the solver library it needs is never loaded by compile, print and eval.
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

}  // namespace verdane::driver
