// Helpers shared by the codec tests.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_serializers/bytes.h"
#include "types/model.h"

namespace korvel::serializers::testing_util {

using Bytes = std::vector<std::uint8_t>;

// "01 fb 00" -> {0x01, 0xfb, 0x00}; whitespace ignored.
inline Bytes hex(std::string_view text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The 31-byte template: name "t", intent amount:int, evidence ok:bool and
// the constraint intent.amount <= 100.
inline const Bytes& example_bytes() {
  static const Bytes bytes = hex(
      "01 74 01 06 61 6d 6f 75 6e 74 01 00 01 02 6f 6b 00 01 00 08 01 06 61 6d 6f 75 6e 74 00 01 "
      "c8");
  return bytes;
}

inline verdane::types::PolicyTemplate example_template() {
  using namespace verdane::types;
  PolicyTemplate t;
  t.name = "t";
  t.intent_schema.fields["amount"] = IntentFieldType{Type::Int, false};
  t.evidence_schema.fields["ok"] = EvidenceFieldType{Type::Bool};
  t.constraints.push_back(Constraint{
      false, make_binary<Le>(Expr{IntentField{"amount"}}, make_literal(std::int64_t{100}))});
  return t;
}

// Name "t", empty schemas, one constraint that is not optional; the
// expression's bytes follow.
inline Bytes one_constraint_prefix() { return hex("01 74 00 00 01 00"); }

// A template with the single constraint `expr`.
inline verdane::types::PolicyTemplate with_expr(verdane::types::Expr expr) {
  verdane::types::PolicyTemplate t;
  t.name = "t";
  t.constraints.push_back(verdane::types::Constraint{false, std::move(expr)});
  return t;
}

inline std::string decode_error(const Bytes& bytes) {
  auto r = BytesSerializer{}.deserialize(bytes);
  if (r) return "<decoded>";
  return r.error().to_string();
}

}  // namespace korvel::serializers::testing_util
