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
  std::string out = "lines " + std::to_string(s.lines) + "\nreplayed " +
                    std::to_string(s.replayed) + "\nnot replayable " +
                    std::to_string(total(s.skipped)) + " (";
  for (std::size_t i = 0; i < kSkipKinds; ++i) {
    if (i > 0) out += ", ";
    out += std::string(kSkipNames[i]) + " " + std::to_string(s.skipped[i]);
  }
  out += ")\nunchanged " + std::to_string(s.unchanged) + "\n";
  for (std::size_t i = 0; i < kChangeKinds; ++i) {
    out += std::string(kChangeNames[i]) + " " + std::to_string(s.changed[i]) + "\n";
  }
  for (std::size_t i = 0; i < kChangeKinds; ++i) {
    for (const std::string& id : s.examples[i]) {
      out += "example " + std::string(kChangeNames[i]) + ": decision_id=" + id + "\n";
    }
  }
  return out;
}

std::string summary_json(const Summary& s) {
  std::string out =
      "{\"lines\":" + std::to_string(s.lines) + ",\"replayed\":" + std::to_string(s.replayed) +
      ",\"not_replayable\":" + std::to_string(total(s.skipped)) + ",\"not_replayable_reasons\":{";
  for (std::size_t i = 0; i < kSkipKinds; ++i) {
    if (i > 0) out += ',';
    out += "\"" + std::string(kSkipKeys[i]) + "\":" + std::to_string(s.skipped[i]);
  }
  out += "},\"unchanged\":" + std::to_string(s.unchanged);
  for (std::size_t i = 0; i < kChangeKinds; ++i) {
    out += ",\"" + std::string(kChangeKeys[i]) + "\":" + std::to_string(s.changed[i]);
  }
  out += ",\"examples\":{";
  for (std::size_t i = 0; i < kChangeKinds; ++i) {
    if (i > 0) out += ',';
    out += "\"" + std::string(kChangeKeys[i]) + "\":[";
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
