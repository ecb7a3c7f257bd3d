#include "id_check/id_check.h"

#include <utility>

namespace verdane::id_check {

Status<Failure> check(const api::Template& tmpl, std::string_view pinned, First first) {
  auto failed = [](Failure::Check which, api::Error error) {
    return make_err(Failure{which, std::move(error), {}, {}});
  };
  std::optional<api::Expected<api::TemplateId>> computed;
  if (first == First::Computed) {
    computed = api::id(tmpl);
    if (!*computed) return failed(Failure::Check::Computed, computed->error());
  }
  auto expected = api::parse_id(pinned);
  if (!expected) return failed(Failure::Check::Pinned, expected.error());
  if (!computed) {
    computed = api::id(tmpl);
    if (!*computed) return failed(Failure::Check::Computed, computed->error());
  }
  if (!(*expected == **computed)) {
    return make_err(Failure{Failure::Check::Match, {}, *expected, **computed});
  }
  return ok_status<Failure>();
}

}  // namespace verdane::id_check
