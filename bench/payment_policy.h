// The payment policy of five constraints that the benchmarks decide, shared
// by the input generator and the per-decision benchmarks.
#pragma once

inline constexpr const char* kPaymentPolicy = R"(name payment
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
