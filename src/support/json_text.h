// Writing texts as JSON strings.
#pragma once

#include <string>
#include <string_view>

namespace verdane {

// Appends `text` to `out` as a JSON string, quotes included, escaped only as
// JSON requires: `"` and `\` with a backslash, the control characters
// U+0000 to U+001F as \b, \f, \n, \r, \t or \u00XX; every other character,
// DEL and non-ASCII text included, is copied as it is. Invalid UTF-8 (which
// no text that verdane hands out holds) is written as U+FFFD, so the result
// is always valid JSON.
void append_json_string(std::string& out, std::string_view text);

}  // namespace verdane
