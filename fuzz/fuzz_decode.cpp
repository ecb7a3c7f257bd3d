// Any bytes as bytecode: decode, render both ways, and re-encode. Decoding the
// canonical encoding must give an equal template, and encoding that again
// must give the same bytes.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "canonical/pretty.h"
#include "korvel_crypto/hash.h"
#include "korvel_serializers/bytes.h"
#include "readable/readable_print.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const korvel::serializers::BytesSerializer codec;
  auto tmpl = codec.deserialize(std::span<const std::uint8_t>(data, size));
  if (!tmpl) {
    (void)tmpl.error().to_string();
    return 0;
  }
  (void)verdane::readable::readable_print(*tmpl);
  for (const auto& c : tmpl->constraints) (void)verdane::canonical::pretty_expr(c.expr);
  auto first = codec.serialize(*tmpl);
  if (!first) std::abort();
  auto again = codec.deserialize(*first);
  if (!again || !(*again == *tmpl)) std::abort();
  auto second = codec.serialize(*again);
  if (!second || *second != *first) std::abort();
  if (!korvel::crypto::TryHash256::try_hash_sha256(*tmpl)) std::abort();
  return 0;
}
