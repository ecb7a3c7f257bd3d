// Reading one line of the decision log `verdane serve --decision-log` writes.
// Only RapidJSON (headers) and the public API: `verdane replay` and the
// service's tools read lines with it, the executable stays small.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::decision_log {

// What one line says. The views point into the line it was read from.
struct LogLine {
  std::string time;         // RFC 3339 UTC with microseconds
  std::string decision_id;  // never empty
  std::string template_id;
  std::optional<std::string> name;  // null when the request came by id
  // The logged answer, as `eval --format json` has it (an explanation, if the
  // request asked for one, is left out).
  api::Decision decision;
  // The request's documents as written in the line, or both absent when the
  // log was written without inputs.
  std::optional<std::string_view> intent;
  std::optional<std::string_view> evidence;
};

// Reads `line` (without its line feed). Fails with what is wrong, in the words
// of `verdane log verify`: "not well-formed JSON", "not a JSON object",
// "`time` is not an RFC 3339 UTC time with microseconds", ...
Result<LogLine, std::string> read_log_line(std::string_view line);

}  // namespace verdane::decision_log
