// Writes the inputs of the whole-process benchmarks into a directory:
//   small.policy, small_intent.json, small_evidence.json   a typical request
//   large.policy                                           ~5 MB of source
//   large_intent.json                                      an intent for large.policy
//   sets.policy, sets_intent.json, sets_evidence.json      ~50 MB of evidence
#include <cstdio>
#include <fstream>
#include <string>

#include "payment_policy.h"

namespace {

const char* kSmall = R"(name payments

intent {
  amount: int
  currency: string
  requested: date
  limit: optional int
}

evidence {
  balance: int
  allowed_currencies: set<string>
  blocked_accounts: set<int>
  holidays: set<date>
  account: int
}

requires {
  intent.amount + 25 <= evidence.balance;
  intent.currency in evidence.allowed_currencies;
  evidence.account not in evidence.blocked_accounts;
  intent.requested not in evidence.holidays;
  date(2024-01-01) <= intent.requested < date(2030-01-01);
  optional: intent.amount <= intent.limit
}
)";

const char* kSmallIntent =
    R"({"amount": 120, "currency": "EUR", "requested": "2026-03-02", "limit": 500})";
const char* kSmallEvidence =
    R"({"balance": 1000, "allowed_currencies": ["EUR", "USD", "CHF"], )"
    R"("blocked_accounts": [13, 666], "holidays": ["2026-01-01", "2026-12-25"], "account": 42})";

const char* kSets = R"(name allowlist

intent {
  customer: string
  id: int
  day: date
}

evidence {
  names: set<string>
  ids: set<int>
  days: set<date>
  limit: int
}

requires {
  intent.customer in evidence.names;
  intent.id in evidence.ids;
  intent.day not in evidence.days;
  intent.id <= evidence.limit * 10000
}
)";

void write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string large_template() {
  std::string s =
      "name large\n\nintent {\n  amount: int\n  currency: string\n  day: date\n}\n\n"
      "evidence {\n  names: set<string>\n  ids: set<int>\n  days: set<date>\n  limit: int\n}\n\n"
      "requires {\n";
  for (int i = 0; s.size() < 5'000'000; ++i) {
    s += "  (intent.amount + " + std::to_string(i) + " * 3 <= evidence.limit - " +
         std::to_string(i % 97) + " and intent.currency in {\"EUR\", \"USD\", \"C" +
         std::to_string(i) + "\"}) or intent.day < date(2030-01-01);\n";
  }
  s += "  True\n}\n";
  return s;
}

std::string large_evidence() {
  std::string s = "{\"names\": [";
  for (int i = 0; i < 1'000'000; ++i) {
    if (i) s += ", ";
    s += "\"customer-" + std::to_string(static_cast<long>(i) * 7919 % 1'000'003) +
         "-account-holder\"";
  }
  s += "], \"ids\": [";
  for (long i = 0; i < 1'000'000; ++i) {
    if (i) s += ", ";
    s += std::to_string((i * 2654435761L) % 100'000'000'000L);
  }
  s += "], \"days\": [";
  for (int i = 0; i < 100'000; ++i) {
    if (i) s += ", ";
    char buf[16];
    std::snprintf(buf, sizeof buf, "\"%04d-%02d-%02d\"", 1900 + i % 200, 1 + i % 12, 1 + i % 28);
    s += buf;
  }
  s += "], \"limit\": 1000000}\n";
  return s;
}

// A million requests of the payment example's size (a ~95-byte intent and a
// ~100-byte evidence); about one in ten fails.
void write_requests(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  std::string line;
  for (int i = 0; i < 1'000'000; ++i) {
    const int amount = 100 + (i * 37) % 1200;
    line = R"({"intent":{"amount":)" + std::to_string(amount) + R"(,"currency":"EUR","payee":")" +
           (i % 50 == 0 ? "Shady Ltd" : "ACME Corp") +
           R"(","execute_on":"2024-06-14","daily_limit":1000},"evidence":{"balance":)" +
           std::to_string(1100 + i % 200) +
           R"(,"fee":5,"blocked_payees":["Shady Ltd","Unknown Holdings"],"cutoff":"2024-12-31"}})"
           "\n";
    out << line;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_inputs DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  write(dir + "/small.policy", kSmall);
  write(dir + "/small_intent.json", kSmallIntent);
  write(dir + "/small_evidence.json", kSmallEvidence);
  write(dir + "/large.policy", large_template());
  write(dir + "/large_intent.json", R"({"amount": 5, "currency": "EUR", "day": "2026-01-01"})");
  write(dir + "/large_evidence.json",
        R"({"names": ["x"], "ids": [1], "days": ["2026-01-01"], "limit": 1000000})");
  write(dir + "/sets.policy", kSets);
  write(dir + "/sets_intent.json",
        R"({"customer": "customer-0-account-holder", "id": 2654435761, "day": "2026-01-01"})");
  write(dir + "/sets_evidence.json", large_evidence());
  write(dir + "/payment.policy", kPaymentPolicy);
  write_requests(dir + "/requests.jsonl");
  return 0;
}
