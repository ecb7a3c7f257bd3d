#include "errors/span.h"

#include "support/text_position.h"

namespace verdane::errors {

LineCol Span::line_col(std::string_view src) const {
  const TextPosition at = text_position(src, start);
  return LineCol{at.line, at.column};
}

}  // namespace verdane::errors
