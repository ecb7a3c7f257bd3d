// `verdane log verify FILE...`: checks decision log files.
#pragma once

#include <string>
#include <vector>

namespace verdane::serve {

// Checks every file: each line complete and a JSON object of the log's shape,
// decision ids unique over all files, times not going backwards within a
// file. Writes one line per problem and then "N lines, M problems" to `out`;
// returns 0 when there is no problem, 1 otherwise.
int verify_logs(const std::vector<std::string>& paths, std::string& out);

// The command line after `log`: its output, error text and exit status.
int log_command(int argc, const char* const* argv, std::string& out, std::string& err);

}  // namespace verdane::serve
