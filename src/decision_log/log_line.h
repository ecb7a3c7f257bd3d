// Reading one line of the decision log `verdane serve --decision-log` writes.
// Only the public API and the support library: `verdane replay` reads lines
// with it, and the executable stays small.
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
  // The request's documents as written in the line (any JSON value), or both
  // absent when the log was written without inputs. They are only delimited
  // here, not checked: whoever decides them parses them.
  std::optional<std::string_view> intent;
  std::optional<std::string_view> evidence;
  // Instead of those, for a line in the service's own layout: the rest of the
  // line from its "intent" member on, `"intent":...,"evidence":...}`, not
  // even delimited. With `{` before it, it is the request. Should it not be
  // one, the line is read again with `any_layout`, which delimits them.
  std::string_view inputs;

  bool has_inputs() const { return intent.has_value() || !inputs.empty(); }
};

// Reads `line` (without its line feed) into `out`, whose storage is reused:
// a reader of many lines keeps one LogLine. Fails with what is wrong, in the
// words of `verdane log verify`: "not well-formed JSON", "not a JSON object",
// "`time` is not an RFC 3339 UTC time with microseconds", ...
// `any_layout` reads the line as any JSON object, never filling `inputs`.
Status<std::string> read_log_line(std::string_view line, LogLine& out, bool any_layout = false);

// Whether `t` is a time as the log writes it: RFC 3339 in UTC with six
// digits of fractions, "2026-12-09T16:34:15.123456Z".
bool is_log_time(std::string_view t);

}  // namespace verdane::decision_log
