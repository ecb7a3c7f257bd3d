// Inputs held by name, seen by slot: for the machines, which read values by
// slot only. Internal to the evaluator.
#pragma once

#include <string_view>
#include <vector>

#include "types/value.h"

namespace verdane::evaluator {

// The names of `fields` (a map by name), in its order.
template <typename Fields>
std::vector<std::string_view> names_of(const Fields& fields) {
  std::vector<std::string_view> names;
  names.reserve(fields.size());
  for (const auto& entry : fields) names.push_back(entry.first);
  return names;
}

// Pointers to the values of `values` by slot of `fields`.
template <typename Fields>
std::vector<const types::Value*> slots_of(const Fields& fields, const types::ValueMap& values) {
  std::vector<const types::Value*> slots;
  slots.reserve(fields.size());
  for (const auto& entry : fields) {
    const auto it = values.find(entry.first);
    slots.push_back(it == values.end() ? nullptr : &it->second);
  }
  return slots;
}

}  // namespace verdane::evaluator
