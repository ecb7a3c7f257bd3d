// Text read from a file seen as the bytes it holds.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace verdane {

inline std::span<const std::uint8_t> as_bytes(std::string_view data) {
  return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

}  // namespace verdane
