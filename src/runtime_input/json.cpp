// Placeholder until JSON loading lands.
#include "runtime_input/json.h"

namespace verdane::runtime_input {

struct JsonDocument::Impl {};

JsonDocument::JsonDocument() : impl_(std::make_unique<Impl>()) {}
JsonDocument::~JsonDocument() = default;
JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;

Result<JsonDocument, std::string> parse_json(std::string_view) {
  return make_err(std::string("JSON parsing is not built yet at line 1 column 1"));
}

}  // namespace verdane::runtime_input
