// The payment case of benchmark (a), shared by the benchmark and the
// instruction-count driver: the policy of five constraints, a ~90-byte
// intent (passing and failing) and a ~100-byte evidence.
#pragma once

#include <cstdlib>
#include <string>

#include "verdane/verdane.h"

namespace payment_case {

namespace api = verdane::api;

inline const char* kPolicy = R"(name payment
intent {
  amount: int
  currency: string
  payee: string
  execute_on: date
  daily_limit: optional int
}
evidence {
  balance: int
  fee: int
  blocked_payees: set<string>
  cutoff: date
}
requires {
  0 < intent.amount <= evidence.balance - evidence.fee;
  intent.currency in {"CHF", "EUR", "USD"};
  intent.payee not in evidence.blocked_payees;
  date(2024-01-01) <= intent.execute_on <= evidence.cutoff;
  optional: intent.amount + evidence.fee <= intent.daily_limit
}
)";

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
