// Any text through the whole compile pipeline: parse, lower, encode, hash.
// Whatever compiles must decode back to an equal template.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "korvel_crypto/hash.h"
#include "korvel_serializers/bytes.h"
#include "parser/parse.h"
#include "support/utf8.h"
#include "typeck/lower.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view src(reinterpret_cast<const char*>(data), size);
  // The driver only hands valid UTF-8 to the front end.
  if (verdane::utf8::validate(src)) return 0;
  auto file = verdane::parser::parse(src);
  if (!file) {
    (void)file.error().to_string();
    return 0;
  }
  auto tmpl = verdane::typeck::lower(*file, src);
  if (!tmpl) {
    (void)tmpl.error().to_string();
    return 0;
  }
  const korvel::serializers::BytesSerializer codec;
  auto bytes = codec.serialize(*tmpl);
  if (!bytes) std::abort();  // a compiled template always encodes
  auto id = korvel::crypto::TryHash256::try_hash_sha256(*tmpl);
  if (!id) std::abort();
  auto parsed = korvel::crypto::HashDigest::parse(id->to_string());
  if (!parsed || !(*parsed == *id)) std::abort();
  auto back = codec.deserialize(*bytes);
  if (!back || !(*back == *tmpl)) std::abort();  // every compiled template reads back
  return 0;
}
