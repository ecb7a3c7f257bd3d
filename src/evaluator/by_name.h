// Inputs held by name, seen by slot: for the machines, which read values by
// slot only. Internal to the evaluator.
#pragma once

#include <string_view>
#include <vector>

#include "types/value.h"
#include "types/value_view.h"

namespace verdane::evaluator {

// The names of `fields` (a map by name), in its order.
template <typename Fields>
std::vector<std::string_view> names_of(const Fields& fields) {
  std::vector<std::string_view> names;
  names.reserve(fields.size());
  for (const auto& entry : fields) names.push_back(entry.first);
  return names;
}

// Views of the values of `values` by slot of `fields` (a map by name); the
// map must outlive them. Sets of texts are packed into the arena they keep.
struct ViewSlots {
  template <typename Fields>
  ViewSlots(const Fields& fields, const types::ValueMap& values) {
    slots.reserve(fields.size());
    for (const auto& entry : fields) {
      const auto it = values.find(entry.first);
      slots.push_back(it == values.end() ? types::ValueView()
                                         : types::view_of(it->second.data, arena));
    }
  }
  ViewSlots(const ViewSlots&) = delete;
  ViewSlots& operator=(const ViewSlots&) = delete;

  types::Arena arena;
  std::vector<types::ValueView> slots;
};

}  // namespace verdane::evaluator
