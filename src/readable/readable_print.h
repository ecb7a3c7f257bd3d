// The readable rendering of a template, in the template language.
#pragma once

#include <string>

#include "types/model.h"

namespace verdane::readable {

// The whole rendering; every line, the last included, ends with a line feed.
std::string readable_print(const types::PolicyTemplate& tmpl);

}  // namespace verdane::readable
