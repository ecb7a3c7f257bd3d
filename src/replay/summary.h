// What a replay counted, and how the summary is written.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "replay/compare.h"

namespace verdane::replay {

inline constexpr std::size_t kExamplesPerKind = 10;

// Why a line was not decided again.
enum class Skip : std::size_t { InputsOmitted, OtherTemplate, IncompleteLastLine, BadLine };
inline constexpr std::size_t kSkipKinds = 4;

struct Summary {
  std::uint64_t lines = 0;
  std::uint64_t replayed = 0;
  std::uint64_t unchanged = 0;
  std::array<std::uint64_t, kSkipKinds> skipped{};
  std::array<std::uint64_t, kChangeKinds> changed{};
  // The first decision ids of each kind of change, in log order.
  std::array<std::vector<std::string>, kChangeKinds> examples;

  // Counts a line decided again, and an example of a change.
  void count(Change change, const std::string& decision_id);
  // Adds what `later` counted on the lines after these.
  void add(const Summary& later);
  bool any_changed() const;
};

// One line each: `lines <n>`, ..., then the examples.
std::string summary_text(const Summary& s);
// The same as one JSON object on one line.
std::string summary_json(const Summary& s);

}  // namespace verdane::replay
