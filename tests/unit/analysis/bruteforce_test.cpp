// The solver against brute force. Small random templates over tiny domains:
// every request of the domain is evaluated, and every verdict of the
// analysis restricted to that domain must equal what the enumeration finds.
// The unrestricted analysis must agree wherever the enumeration decides (a
// request found is a yes; a yes over all requests is a yes over the domain's
// when it is a "redundant"). Every witness is evaluated again here, from its
// JSON texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "analysis/analyze.h"
#include "analysis/check.h"
#include "korvel_serializers/bytes.h"
#include "types/optional_reads.h"
#include "verdane/verdane.h"

namespace verdane::analysis {
namespace {

using types::DateLit;
using types::Expr;
using types::Type;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Values of the single-template checks; the change checks add two spellings
// of one date to the texts, so a string field retyped as a date meets them.
Domain single_domain() {
  return {{kMin, -1, 0, 2, kMax}, {"a", "b"}, {{0, 1, 1}, {2024, 2, 29}, {2024, 3, 1}}};
}
Domain change_domain() {
  return {{kMin, 0, 2, kMax}, {"a", "2024-03-01", "2024-+3-01"}, {{2024, 2, 29}, {2024, 3, 1}}};
}

std::string date_json(const DateLit& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\"%04d-%02u-%02u\"", d.year, unsigned{d.month}, unsigned{d.day});
  return buf;
}

// ---- Random templates ----

struct Gen {
  std::mt19937 rng;
  const Domain& domain;
  types::PolicyTemplate tmpl;

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  bool chance(int percent) { return pick(100) < percent; }

  Type scalar_or_set() {
    static constexpr Type kTypes[] = {Type::Bool,   Type::Int,       Type::String, Type::Date,
                                      Type::IntSet, Type::StringSet, Type::DateSet};
    return kTypes[pick(7)];
  }

  std::optional<Expr> field_of(Type t) {
    std::vector<Expr> options;
    for (const auto& [name, f] : tmpl.intent_schema.fields) {
      if (f.type == t) options.push_back(Expr{types::IntentField{name}});
    }
    for (const auto& [name, f] : tmpl.evidence_schema.fields) {
      if (f.type == t) options.push_back(Expr{types::EvidenceField{name}});
    }
    if (options.empty()) return std::nullopt;
    return std::move(options[pick(static_cast<int>(options.size()))]);
  }

  std::int64_t some_int() { return chance(85) ? domain.ints[pick(domain.ints.size())] : 3; }
  std::string some_text() { return chance(85) ? domain.texts[pick(domain.texts.size())] : "z"; }
  DateLit some_date() {
    return chance(85) ? domain.dates[pick(domain.dates.size())] : DateLit{1999, 12, 31};
  }

  Expr literal(Type t) {
    switch (t) {
      case Type::Bool:
        return types::make_literal(chance(50));
      case Type::Int:
        return types::make_literal(some_int());
      case Type::String:
        return types::make_literal(some_text());
      case Type::Date:
        return types::make_literal(some_date());
      case Type::IntSet: {
        std::vector<std::int64_t> items;
        for (int n = pick(3); n > 0; --n) items.push_back(some_int());
        return types::make_literal(types::IntSet(std::move(items)));
      }
      case Type::StringSet: {
        std::vector<std::string> items;
        for (int n = pick(3); n > 0; --n) items.push_back(some_text());
        return types::make_literal(types::StringSet(std::move(items)));
      }
      case Type::DateSet: {
        std::vector<DateLit> items;
        for (int n = pick(3); n > 0; --n) items.push_back(some_date());
        return types::make_literal(types::DateSet(std::move(items)));
      }
    }
    return types::make_literal(true);
  }

  Expr leaf(Type t) {
    if (chance(65)) {
      if (auto f = field_of(t)) return std::move(*f);
    }
    return literal(t);
  }

  Expr integer(int depth) {
    if (depth <= 0 || chance(45)) return leaf(Type::Int);
    switch (pick(3)) {
      case 0:
        return types::make_binary<types::Add>(integer(depth - 1), integer(depth - 1));
      case 1:
        return types::make_binary<types::Sub>(integer(depth - 1), integer(depth - 1));
      default:
        return types::make_binary<types::Mul>(integer(depth - 1), integer(depth - 1));
    }
  }

  template <typename Node>
  Expr compare(Expr a, Expr b) {
    return types::make_binary<Node>(std::move(a), std::move(b));
  }

  Expr ordering(Expr a, Expr b) {
    switch (pick(5)) {
      case 0:
        return compare<types::Eq>(std::move(a), std::move(b));
      case 1:
        return compare<types::Lt>(std::move(a), std::move(b));
      case 2:
        return compare<types::Le>(std::move(a), std::move(b));
      case 3:
        return compare<types::Gt>(std::move(a), std::move(b));
      default:
        return compare<types::Ge>(std::move(a), std::move(b));
    }
  }

  Expr boolean(int depth) {
    static constexpr Type kSets[] = {Type::IntSet, Type::StringSet, Type::DateSet};
    static constexpr Type kElements[] = {Type::Int, Type::String, Type::Date};
    const int k = pick(3);
    switch (depth <= 0 ? pick(5) : pick(9)) {
      case 0:
        return leaf(Type::Bool);
      case 1:
        return ordering(leaf(Type::Date), leaf(Type::Date));
      case 2:
        return compare<types::Eq>(leaf(Type::String), leaf(Type::String));
      case 3:
        return compare<types::In>(leaf(kElements[k]), leaf(kSets[k]));
      case 4:
        switch (pick(3)) {
          case 0:
            return compare<types::SubsetOf>(leaf(kSets[k]), leaf(kSets[k]));
          case 1:
            return compare<types::SupersetOf>(leaf(kSets[k]), leaf(kSets[k]));
          default:
            return compare<types::Eq>(leaf(kSets[k]), leaf(kSets[k]));
        }
      case 5:
      case 6:
        return ordering(integer(depth - 1), integer(depth - 1));
      case 7:
        return types::make_not(boolean(depth - 1));
      default: {
        std::vector<Expr> operands;
        for (int n = pick(4); n > 0; --n) operands.push_back(boolean(depth - 1));
        if (chance(50)) return Expr{types::And{std::move(operands)}};
        return Expr{types::Or{std::move(operands)}};
      }
    }
  }

  void schema(const std::vector<std::string>& intent_names,
              const std::vector<std::string>& evidence_names, int presence) {
    for (const std::string& n : intent_names) {
      if (chance(presence)) tmpl.intent_schema.fields[n] = {scalar_or_set(), chance(40)};
    }
    for (const std::string& n : evidence_names) {
      if (chance(presence)) tmpl.evidence_schema.fields[n] = {scalar_or_set()};
    }
  }

  void constraints() {
    for (int n = 1 + pick(3); n > 0; --n) add_constraint();
  }

  void add_constraint() {
    types::Constraint c{false, boolean(2)};
    c.optional = !types::optional_fields_read(tmpl.intent_schema, c.expr).empty();
    tmpl.constraints.push_back(std::move(c));
  }
};

// ---- Requests of a domain ----

// The JSON texts a member may hold for one of its types.
std::vector<std::string> values_of(Type t, const Domain& d) {
  std::vector<std::string> out;
  const auto subsets = [&](std::size_t n, auto item) {
    for (std::size_t mask = 0; mask < (std::size_t{1} << n); ++mask) {
      std::string s = "[";
      for (std::size_t i = 0; i < n; ++i) {
        if (!(mask >> i & 1)) continue;
        if (s.size() > 1) s += ",";
        s += item(i);
      }
      out.push_back(s + "]");
    }
  };
  const auto text = [&](std::size_t i) { return "\"" + d.texts[i] + "\""; };
  const auto integer = [&](std::size_t i) { return std::to_string(d.ints[i]); };
  const auto date = [&](std::size_t i) { return date_json(d.dates[i]); };
  switch (t) {
    case Type::Bool:
      return {"true", "false"};
    case Type::Int:
      for (std::size_t i = 0; i < d.ints.size(); ++i) out.push_back(integer(i));
      break;
    case Type::String:
      for (std::size_t i = 0; i < d.texts.size(); ++i) out.push_back(text(i));
      break;
    case Type::Date:
      for (std::size_t i = 0; i < d.dates.size(); ++i) out.push_back(date(i));
      break;
    case Type::IntSet:
      subsets(d.ints.size(), integer);
      break;
    case Type::StringSet:
      subsets(d.texts.size(), text);
      break;
    case Type::DateSet:
      subsets(d.dates.size(), date);
      break;
  }
  return out;
}

struct MemberSpace {
  bool intent;
  std::string name;
  std::vector<std::string> choices;  // "" is absent
};

// The JSON values of a member declared with `types` (one or two): those of
// each type, where a string that is also a date, or a string set that is
// also a date set, holds the texts of the domain (which spell dates too).
std::vector<std::string> member_choices(std::vector<Type> types, bool may_be_absent,
                                        const Domain& d) {
  std::set<Type> kinds(types.begin(), types.end());
  if (kinds == std::set<Type>{Type::String, Type::Date}) kinds = {Type::String};
  if (kinds == std::set<Type>{Type::StringSet, Type::DateSet}) kinds = {Type::StringSet};
  std::set<std::string> values;
  for (Type t : kinds) {
    for (std::string& v : values_of(t, d)) values.insert(std::move(v));
  }
  std::vector<std::string> out;
  if (may_be_absent) out.push_back("");
  out.insert(out.end(), values.begin(), values.end());
  return out;
}

std::size_t space_size(const std::vector<MemberSpace>& space) {
  std::size_t n = 1;
  for (const MemberSpace& m : space) n *= m.choices.size();
  return n;
}

// Calls visit(intent_json, evidence_json) for every request of `space`.
template <typename Visit>
void for_each_request(const std::vector<MemberSpace>& space, Visit visit) {
  std::vector<std::size_t> at(space.size(), 0);
  for (;;) {
    std::string docs[2] = {"{", "{"};
    for (std::size_t i = 0; i < space.size(); ++i) {
      const std::string& v = space[i].choices[at[i]];
      if (v.empty()) continue;
      std::string& doc = docs[space[i].intent ? 0 : 1];
      if (doc.size() > 1) doc += ",";
      doc += "\"" + space[i].name + "\":" + v;
    }
    visit(docs[0] + "}", docs[1] + "}");
    std::size_t i = 0;
    while (i < space.size() && ++at[i] == space[i].choices.size()) at[i++] = 0;
    if (i == space.size()) return;
  }
}

api::Template to_api(const types::PolicyTemplate& t) {
  auto bytes = korvel::serializers::BytesSerializer{}.serialize(t);
  EXPECT_TRUE(bytes.ok());
  auto decoded = api::decode(*bytes);
  EXPECT_TRUE(decoded.has_value());
  return *decoded;
}

api::Decision decide(const api::Template& t, const std::string& intent,
                     const std::string& evidence) {
  auto d = api::evaluate_json(t, intent, evidence);
  EXPECT_TRUE(d.has_value()) << intent << " " << evidence;
  return *d;
}

// What the enumeration finds, by the witness names of the analysis.
using Found = std::set<std::string>;

void note_template(const api::Decision& d, std::size_t count, Found& found) {
  if (d.input_error) return;
  found.insert(d.pass ? "can_pass" : "can_fail");
  for (const api::Outcome& o : d.outcomes) {
    const std::string c = "c" + std::to_string(o.index);
    found.insert(c + (o.kind == api::Outcome::Kind::Failed ? "_fail" : "_error"));
  }
  if (d.outcomes.size() == 1) found.insert("c" + std::to_string(d.outcomes[0].index) + "_needed");
  (void)count;
}

// Every finding of one analysis, with its witness evaluated again.
struct Run {
  std::vector<Finding> findings;
  std::string error;
};

// Over a tiny domain every query is easy; over all requests some (products
// of two fields) are hard for any solver, and answer unknown within the
// short limit.
Run analyse(const std::vector<Target>& targets, const Domain* domain) {
  Run run;
  const Emit emit = [&](const Finding& f) {
    run.findings.push_back(f);
    return ok_status<std::string>();
  };
  const Options options{domain ? 20'000u : 200u, domain};
  auto done = targets.size() == 1 ? analyze_template(targets[0], options, emit)
                                  : analyze_change(targets[0], targets[1], options, emit);
  if (!done) run.error = done.error();
  return run;
}

// The witness name whose existence a finding's verdict claims or denies.
std::string claim(const Finding& f) {
  if (f.subject == "change") return f.question;
  if (f.subject == "template") return f.question == "can pass" ? "can_pass" : "can_fail";
  const std::string c = "c" + f.subject.substr(11, f.subject.size() - 12);
  if (f.question == "can fail") return c + "_fail";
  if (f.question == "can error") return c + "_error";
  return c + "_needed";
}

// Whether the verdict says that a request of the claim exists.
bool claims_request(const Finding& f) {
  return f.question == "redundant" ? f.verdict == Verdict::No : f.verdict == Verdict::Yes;
}

struct Totals {
  std::size_t templates = 0;
  std::size_t requests = 0;
  std::size_t verdicts = 0;
  std::size_t witnesses = 0;
  std::size_t unknown = 0;  // over all requests
};

void compare(const Run& run, const Found& found, bool exact, const std::string& what,
             const std::vector<const api::Template*>& apis, Totals& totals) {
  ASSERT_EQ(run.error, "") << what;
  for (const Finding& f : run.findings) {
    ++totals.verdicts;
    if (!exact && f.verdict == Verdict::Unknown) {
      ++totals.unknown;
      continue;
    }
    ASSERT_NE(f.verdict, Verdict::Unknown) << f.line() << "\n" << what;
    const bool exists = found.contains(claim(f));
    if (exact) {
      EXPECT_EQ(claims_request(f), exists) << f.line() << "\n" << what;
    } else if (exists) {
      EXPECT_TRUE(claims_request(f)) << f.line() << "\n" << what;
    }
    EXPECT_EQ(claims_request(f), f.witness.has_value()) << f.line();
    if (!f.witness) continue;
    ++totals.witnesses;
    EXPECT_EQ(f.witness->name, claim(f));
    std::vector<api::Decision> d;
    for (const api::Template* t : apis) {
      d.push_back(decide(*t, f.witness->request.intent_json, f.witness->request.evidence_json));
    }
    if (f.subject == "change") {
      const bool widened = d[0].pass && !d[1].pass;
      const bool narrowed = !d[0].pass && d[1].pass;
      EXPECT_TRUE(f.question == "widens" ? widened : narrowed) << f.line() << "\n" << what;
    } else {
      Found seen;
      note_template(d[0], 0, seen);
      EXPECT_TRUE(seen.contains(claim(f)))
          << f.line() << "\n"
          << f.witness->request.intent_json << f.witness->request.evidence_json << what;
    }
  }
}

std::string describe(const types::PolicyTemplate& t) { return api::render(to_api(t)); }

TEST(BruteForce, TemplateVerdictsMatchEveryRequestOfTinyDomains) {
  const Domain domain = single_domain();
  Totals totals;
  std::mt19937 seeds(16);
  while (totals.templates < 50) {
    Gen g{std::mt19937(seeds()), domain, {}};
    g.tmpl.name = "t";
    g.schema({"i", "j"}, {"e", "f"}, 60);
    if (g.tmpl.evidence_schema.fields.empty()) continue;
    g.constraints();
    std::vector<MemberSpace> space;
    for (const auto& [n, f] : g.tmpl.intent_schema.fields) {
      space.push_back({true, n, member_choices({f.type}, f.optional, domain)});
    }
    for (const auto& [n, f] : g.tmpl.evidence_schema.fields) {
      space.push_back({false, n, member_choices({f.type}, false, domain)});
    }
    if (space_size(space) > 1500) continue;
    ++totals.templates;

    const api::Template tmpl = to_api(g.tmpl);
    Found found;
    for_each_request(space, [&](const std::string& intent, const std::string& evidence) {
      ++totals.requests;
      note_template(decide(tmpl, intent, evidence), g.tmpl.constraints.size(), found);
    });
    const Target target{&g.tmpl, &tmpl, "t.bin"};
    const std::string what = describe(g.tmpl);
    compare(analyse({target}, &domain), found, true, what, {&tmpl}, totals);
    compare(analyse({target}, nullptr), found, false, what, {&tmpl}, totals);
    if (HasFatalFailure()) return;
  }
  std::printf(
      "templates %zu, requests %zu, verdicts %zu (unknown over all requests %zu), witnesses "
      "re-evaluated %zu\n",
      totals.templates, totals.requests, totals.verdicts, totals.unknown, totals.witnesses);
}

TEST(BruteForce, ChangeVerdictsMatchEveryRequestOfTinyDomains) {
  const Domain domain = change_domain();
  Totals totals;
  std::mt19937 seeds(61);
  while (totals.templates < 2 * 50) {
    Gen a{std::mt19937(seeds()), domain, {}};
    a.tmpl.name = "t";
    a.schema({"i", "j"}, {"e"}, 70);
    if (a.tmpl.evidence_schema.fields.empty()) continue;
    Gen b{std::mt19937(seeds()), domain, {}};
    b.tmpl.name = "t";
    // Half the pairs share a schema and differ in one constraint at most;
    // the others have schemas of their own over the same names.
    const bool related = b.chance(50);
    if (related) {
      b.tmpl.intent_schema = a.tmpl.intent_schema;
      b.tmpl.evidence_schema = a.tmpl.evidence_schema;
    } else {
      b.schema({"i", "j"}, {"e"}, 70);
      if (b.tmpl.evidence_schema.fields.empty()) continue;
    }
    a.constraints();
    if (related) {
      for (const auto& c : a.tmpl.constraints) {
        b.tmpl.constraints.push_back({c.optional, types::deep_copy(c.expr)});
      }
      if (b.chance(50)) b.tmpl.constraints.pop_back();
      if (b.chance(60)) b.add_constraint();
    } else {
      b.constraints();
    }

    std::map<std::pair<bool, std::string>, std::pair<std::vector<Type>, bool>> members;
    for (const auto* t : {&a.tmpl, &b.tmpl}) {
      for (const auto& [n, f] : t->intent_schema.fields) {
        auto& m = members[{true, n}];
        m.first.push_back(f.type);
        m.second = true;  // a member may always be left out: it fails where required
      }
      for (const auto& [n, f] : t->evidence_schema.fields) {
        auto& m = members[{false, n}];
        m.first.push_back(f.type);
        m.second = true;
      }
    }
    std::vector<MemberSpace> space;
    for (const auto& [key, m] : members) {
      space.push_back({key.first, key.second, member_choices(m.first, m.second, domain)});
    }
    if (space_size(space) > 3000) continue;
    totals.templates += 2;

    const api::Template next = to_api(a.tmpl);
    const api::Template old = to_api(b.tmpl);
    Found found;
    for_each_request(space, [&](const std::string& intent, const std::string& evidence) {
      ++totals.requests;
      const bool next_passes = decide(next, intent, evidence).pass;
      const bool old_passes = decide(old, intent, evidence).pass;
      if (next_passes && !old_passes) found.insert("widens");
      if (old_passes && !next_passes) found.insert("narrows");
    });
    const std::vector<Target> targets{{&a.tmpl, &next, "new.bin"}, {&b.tmpl, &old, "old.bin"}};
    const std::string what = describe(a.tmpl) + "--- against\n" + describe(b.tmpl);
    compare(analyse(targets, &domain), found, true, what, {&next, &old}, totals);
    compare(analyse(targets, nullptr), found, false, what, {&next, &old}, totals);
    if (HasFatalFailure()) return;
  }
  std::printf(
      "templates %zu, requests %zu, verdicts %zu (unknown over all requests %zu), witnesses "
      "re-evaluated %zu\n",
      totals.templates, totals.requests, totals.verdicts, totals.unknown, totals.witnesses);
}

}  // namespace
}  // namespace verdane::analysis
