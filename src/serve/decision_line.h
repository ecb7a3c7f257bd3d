// One line of the decision log: a decision with what it was decided from.
#pragma once

#include <chrono>
#include <string>

#include "serve/decision_sink.h"

namespace verdane::serve {

// Where the time goes in a line, and how long it is: the time is written
// last, when the line joins the queue, so times never go backwards in the file.
inline constexpr std::size_t kLineTimeAt = 9;     // after {"time":"
inline constexpr std::size_t kLineTimeSize = 27;  // 2026-12-09T16:34:15.123456Z

// The line for `event`, ending in a line feed, with a placeholder time.
// `with_inputs` writes the intent and evidence documents (numbers as written).
std::string decision_line(const DecisionEvent& event, bool with_inputs);

// Writes `t` as RFC 3339 UTC with microseconds into line[kLineTimeAt...].
void stamp_line(std::string& line, std::chrono::system_clock::time_point t);

}  // namespace verdane::serve
