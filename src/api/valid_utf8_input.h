// Parsing inputs whose text the caller has already found to be valid UTF-8,
// for the driver: reading a file checks its text, so loading it need not
// check every byte a second time. The same results as parse_intent and
// parse_evidence on such a text; on any other text the results are
// unspecified.
#pragma once

#include <string>

#include "verdane/verdane.h"

namespace verdane::api {

Expected<Input> parse_valid_utf8_intent(const Template& tmpl, std::string json);
Expected<Input> parse_valid_utf8_evidence(const Template& tmpl, std::string json);

}  // namespace verdane::api
