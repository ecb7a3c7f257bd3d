// `verdane replay`: decides the requests of decision logs again under another
// template and counts what would have been decided differently.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "replay/summary.h"
#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::replay {

struct Options {
  std::vector<std::string> logs;    // read in this order
  std::string template_path;        // the new bytecode
  std::optional<std::string> only;  // a template id: other lines are not replayed
  unsigned jobs = 1;
  std::optional<std::string> changes_path;  // one JSON line per changed decision
  bool json = false;
  bool skip_bad_lines = false;
};

// Where a line's problem goes: one line of text, ending in a line feed.
using Note = std::function<void(std::string_view)>;

// Replays every log of `options` under `tmpl`, in order. A bad line is noted
// and ends the run with exit status 1 (nullopt summary) unless bad lines are
// skipped. Fails with the message of an unreadable log or an unwritable
// changes file.
Result<std::optional<Summary>, std::string> replay_logs(const api::Template& tmpl,
                                                        const Options& options, const Note& note);

// The whole command: argv as given to `verdane` (argv[1] is "replay"). Writes
// stdout text to `out` and standard error lines through `note`; returns the
// exit status.
int replay_command(int argc, const char* const* argv, std::string& out, const Note& note);

}  // namespace verdane::replay
