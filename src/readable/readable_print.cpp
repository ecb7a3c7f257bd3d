// Placeholder until rendering lands.
#include "readable/readable_print.h"

namespace verdane::readable {

std::string readable_print(const types::PolicyTemplate&) { return "# rendering not built yet\n"; }

}  // namespace verdane::readable
