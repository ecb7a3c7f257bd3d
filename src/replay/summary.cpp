#include "replay/summary.h"

#include <numeric>

#include "support/json_text.h"

namespace verdane::replay {

namespace {

constexpr std::array<std::string_view, kSkipKinds> kSkipNames{"inputs omitted", "other template",
                                                              "incomplete last line", "bad line"};
constexpr std::array<std::string_view, kSkipKinds> kSkipKeys{"inputs_omitted", "other_template",
                                                             "incomplete_last_line", "bad_line"};

std::uint64_t total(const std::array<std::uint64_t, kSkipKinds>& counts) {
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

}  // namespace

void Summary::count(Change change, const std::string& decision_id) {
  ++replayed;
  if (change == Change::Unchanged) {
    ++unchanged;
    return;
  }
  const auto kind = static_cast<std::size_t>(change);
  ++changed[kind];
  if (examples[kind].size() < kExamplesPerKind) examples[kind].push_back(decision_id);
}

void Summary::add(const Summary& later) {
  lines += later.lines;
  replayed += later.replayed;
  unchanged += later.unchanged;
  for (std::size_t i = 0; i < kSkipKinds; ++i) skipped[i] += later.skipped[i];
  for (std::size_t i = 0; i < kChangeKinds; ++i) {
    changed[i] += later.changed[i];
    for (const std::string& id : later.examples[i]) {
      if (examples[i].size() < kExamplesPerKind) examples[i].push_back(id);
    }
  }
}

bool Summary::any_changed() const { return replayed != unchanged; }

std::string summary_text(const Summary& s) {
  std::string out;
  const auto line = [&out](std::string_view words, std::uint64_t n, std::string_view end = "\n") {
    out.append(words).append(" ").append(std::to_string(n)).append(end);
  };
  line("lines", s.lines);
  line("replayed", s.replayed);
  line("not replayable", total(s.skipped), " (");
  for (std::size_t i = 0; i < kSkipKinds; ++i) {
    line(kSkipNames[i], s.skipped[i], i + 1 < kSkipKinds ? ", " : ")\n");
  }
  line("unchanged", s.unchanged);
  for (std::size_t i = 0; i < kChangeKinds; ++i) line(kChangeNames[i], s.changed[i]);
  for (std::size_t i = 0; i < kChangeKinds; ++i) {
    for (const std::string& id : s.examples[i]) {
      out.append("example ").append(kChangeNames[i]).append(": decision_id=").append(id) += '\n';
    }
  }
  return out;
}

std::string summary_json(const Summary& s) {
  std::string out = "{";
  const auto member = [&out](std::string_view key, std::uint64_t n, std::string_view end = ",") {
    out.append("\"").append(key).append("\":").append(std::to_string(n)).append(end);
  };
  member("lines", s.lines);
  member("replayed", s.replayed);
  member("not_replayable", total(s.skipped));
  out += "\"not_replayable_reasons\":{";
  for (std::size_t i = 0; i < kSkipKinds; ++i) {
    member(kSkipKeys[i], s.skipped[i], i + 1 < kSkipKinds ? "," : "},");
  }
  member("unchanged", s.unchanged);
  for (std::size_t i = 0; i < kChangeKinds; ++i) member(kChangeKeys[i], s.changed[i]);
  out += "\"examples\":{";
  for (std::size_t i = 0; i < kChangeKinds; ++i) {
    if (i > 0) out += ',';
    out.append("\"").append(kChangeKeys[i]).append("\":[");
    for (std::size_t j = 0; j < s.examples[i].size(); ++j) {
      if (j > 0) out += ',';
      append_json_string(out, s.examples[i][j]);
    }
    out += ']';
  }
  out += "}}\n";
  return out;
}

}  // namespace verdane::replay
