// The payment case of benchmark (a), shared by the benchmark and the
// instruction-count driver: the policy of five constraints, a ~90-byte
// intent (passing and failing) and a ~100-byte evidence.
#pragma once

#include <cstdlib>
#include <string>

#include "payment_policy.h"
#include "verdane/verdane.h"

namespace payment_case {

namespace api = verdane::api;

inline const char* kPolicy = kPaymentPolicy;

inline const std::string kIntent =
    R"({"amount":250,"currency":"EUR","payee":"ACME Corp","execute_on":"2024-06-14","daily_limit":1000})";
inline const std::string kFailIntent =
    R"({"amount":1100,"currency":"EUR","payee":"Shady Ltd","execute_on":"2024-06-14","daily_limit":1000})";
inline const std::string kEvidence =
    R"({"balance":1200,"fee":5,"blocked_payees":["Shady Ltd","Unknown Holdings"],"cutoff":"2024-12-31"})";

inline api::Template payment() {
  auto tmpl = api::compile(kPolicy);
  if (!tmpl) std::abort();
  return *tmpl;
}

inline std::string request(const std::string& intent) {
  return R"({"intent":)" + intent + R"(,"evidence":)" + kEvidence + "}";
}

}  // namespace payment_case
