// Making embedded texts safe inside one line of a report.
#pragma once

#include <string>
#include <string_view>

namespace verdane {

// Returns `text` with every control character made visible, so that a text
// taken from an input (a JSON member name, a date, a field name read from
// bytecode) can neither end a report line early nor send commands to a
// terminal: line feed, carriage return and tab become \n, \r and \t; every
// other control character (U+0000 to U+001F, U+007F, and the C1 controls
// U+0080 to U+009F) becomes \u{XX} with two lower-case hex digits, e.g. ESC
// as \u{1b}. Everything else, printable ASCII, backslashes and other non-ASCII
// characters included, is copied unchanged, as are bytes that are not valid
// UTF-8.
std::string escape_controls(std::string_view text);

// Returns `text` with only line feed and carriage return written as \n and
// \r, for texts embedded in an error line on standard error (token
// descriptions, paths, arguments): those two would split the one line, every
// other character is the user's own and is shown as it is.
std::string escape_line_breaks(std::string_view text);

}  // namespace verdane
