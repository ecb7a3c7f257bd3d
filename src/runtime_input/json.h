// Parsed JSON documents for the intent and evidence inputs.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "support/result.h"

namespace verdane::runtime_input {

// One parsed JSON document (any JSON value at the top).
class JsonDocument {
 public:
  JsonDocument();
  ~JsonDocument();
  JsonDocument(JsonDocument&&) noexcept;
  JsonDocument& operator=(JsonDocument&&) noexcept;

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  friend Result<JsonDocument, std::string> parse_json(std::string_view text);
  std::unique_ptr<Impl> impl_;
};

// Parses UTF-8 JSON text. On failure returns
// "<description> at line <n> column <m>", both counted from 1.
Result<JsonDocument, std::string> parse_json(std::string_view text);

}  // namespace verdane::runtime_input
