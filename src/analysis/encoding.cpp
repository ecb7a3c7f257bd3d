// Sets. The only set-valued expressions are literals and fields, and a set
// is only ever observed through `in`, `subset of`, `superset of` and `==`.
// Each set field has one flag per *element term* (whether it holds that
// element; equal elements have equal flags), and its value in a witness is
// the finite set of the elements whose flags hold. Sets that relations connect form a component,
// whose element terms are the element operands of `in` on its sets, the elements of its literal
// sets, and one fresh element per ordered pair of sets that a relation compares (the element that
// tells them apart when they differ). Relations are conjunctions over the component's terms. Any
// real request can be cut down to these elements without changing one relation or membership, and
// every model describes such a finite request, so the encoding is exact. A literal that no relation
// connects to a field needs no terms at all: `x in {...}` is a disjunction.
//
// Schemas of a change. Each JSON member (intent or evidence, by name) of a
// request has *carriers*: the JSON values it may hold that a template can
// load. Usually one carrier serves both templates; when the types differ, a
// text can carry a string and a date at once (a date is a text that parses),
// an array of texts a string set and a date set (the dates it spells), and
// otherwise the member holds one of two carriers, chosen by a selector,
// where an empty array loads as a set of any type.
#include "analysis/encoding.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "analysis/codes.h"
#include "analysis/walk.h"
#include "types/optional_reads.h"

namespace verdane::analysis {

namespace {

using types::Expr;
using types::ExprKind;
using types::Type;

constexpr unsigned kBits = 64;
// Terms generated for relations, memberships and ranges, beyond which the
// encoding gives up (it grows with elements times relations). A product of
// two unknown integers becomes tens of thousands of clauses in each solver
// (measured: some 50 MB of solver memory each), so a template may hold
// about a dozen of them.
constexpr std::size_t kWorkLimit = 4'000'000;
constexpr std::size_t kProductCost = 300'000;
// Once a product of two unknowns makes integers bit-vectors, every `+`, `-`
// and `*` is an adder (or multiplier by a constant) with its overflow
// check, which solvers turn into clauses and simplify far more slowly than
// linearly in the length of a chain: measured, a sum of 300 terms takes
// about a second per question and 160 MB, one of 1,000 a time beyond any
// timeout at 700 MB, one of 4,000 many gigabytes. At this cost a template
// with one such product may hold some 460 of them (450: 3 s, 230 MB).
constexpr std::size_t kBitArithmeticCost = 8'000;

enum class Kind : std::uint8_t { Int, Text, Date };
enum class Carrier : std::uint8_t { Bool, Int, Text, Date, IntArray, TextArray, DateArray };

Carrier natural(Type t) {
  switch (t) {
    case Type::Bool:
      return Carrier::Bool;
    case Type::Int:
      return Carrier::Int;
    case Type::String:
      return Carrier::Text;
    case Type::Date:
      return Carrier::Date;
    case Type::IntSet:
      return Carrier::IntArray;
    case Type::StringSet:
      return Carrier::TextArray;
    case Type::DateSet:
      return Carrier::DateArray;
  }
  return Carrier::Bool;
}

bool is_array(Carrier c) { return c >= Carrier::IntArray; }

Kind array_kind(Carrier c) {
  return c == Carrier::IntArray ? Kind::Int : c == Carrier::TextArray ? Kind::Text : Kind::Date;
}

Kind kind_of(Type t) {
  switch (t) {
    case Type::Int:
    case Type::IntSet:
      return Kind::Int;
    case Type::String:
    case Type::StringSet:
      return Kind::Text;
    default:
      return Kind::Date;
  }
}

struct Field {
  Type type;
  bool optional;
};

struct Member {
  bool intent;
  std::string name;
  std::array<std::optional<Field>, 2> declared;
  z3::expr present;
  std::vector<Carrier> carriers;  // carriers[0] is chosen when `select` holds
  std::optional<z3::expr> select;
  std::vector<std::optional<z3::expr>> scalars;  // per carrier
  std::vector<int> arrays;                       // per carrier: its ArrayCarrier, -1 for scalars
  std::array<int, 2> view_set{-1, -1};           // set term of each slot's view
};

struct Element {
  z3::expr term;
  std::optional<std::uint64_t> value;  // for constants
};

struct Universe {
  std::vector<Element> elements;
  std::set<unsigned> terms;  // ids of the symbolic elements
  std::set<std::uint64_t> values;

  void add(const Element& e) {
    if (e.value ? values.insert(*e.value).second : terms.insert(e.term.id()).second) {
      elements.push_back(e);
    }
  }
};

// A set of the encoding (a carrier of the request or a literal) with the
// element terms it brought; relations join nodes into components.
struct Node {
  Universe own;
  int parent;
};

// A JSON array of the request and its flags, by element (a constant's value
// or a term's id).
struct ArrayCarrier {
  int node;
  std::map<std::pair<bool, std::uint64_t>, z3::expr> flags;
};

struct SetTerm {
  enum class Form { Literal, Array, Image } form;
  Kind kind;
  std::vector<std::uint64_t> values;  // Literal: the elements' codes, ascending
  int carrier;                        // Array; Image: the array of its texts; -1 for literals
  z3::expr guard;                     // Array, Image: the set is empty unless it holds
  int node;                           // Array: the carrier's; Image: a date node of its own
};

// The constraint a definition belongs to: (slot, index).
using Owner = std::pair<std::size_t, std::size_t>;

struct Relation {
  z3::expr atom;
  int sub;
  int super;
  bool equal;  // also super within sub
  Owner owner;
};

struct ImageMembership {
  z3::expr atom;
  int set;
  Element element;
  Owner owner;
};

struct Value {
  z3::expr term;
  std::optional<std::uint64_t> value;  // a constant's code
  int set = -1;
};

std::uint64_t bits(std::int64_t v) { return static_cast<std::uint64_t>(v); }

}  // namespace

struct Encoding::Impl {
  Impl(z3::context& c, const std::vector<Checked>& t, const Domain* d)
      : ctx(c), templates(t), domain(d), background(c), table(known_texts(t, d)) {}

  z3::context& ctx;
  std::vector<Checked> templates;
  const Domain* domain;
  z3::expr_vector background;  // what every query needs
  // The definitions of each constraint's outcome terms, by slot.
  std::vector<std::vector<z3::expr_vector>> definitions;
  Owner owner;  // of the constraint being encoded
  TextTable table;
  bool rich_texts = false;  // some member is a string and a date at once
  // Integers as the solver's mathematical integers, with the 64-bit range
  // and overflow stated as bounds, when no product of two unknowns needs
  // bit-vector multiplication: ordering and sums then go to linear
  // arithmetic, which proves what no request can do (a redundant
  // constraint) far faster than reasoning over the adders' bits.
  bool linear = linear_only(templates);
  std::size_t work = 0;
  bool over = false;

  std::vector<Member> members;
  std::map<std::pair<bool, std::string>, std::size_t> member_index;
  std::vector<Node> nodes;
  std::vector<ArrayCarrier> array_carriers;
  std::vector<Universe> components;  // by root node, once finish() built them
  std::vector<SetTerm> sets;
  std::vector<Relation> relations;
  std::vector<ImageMembership> image_memberships;
  std::map<std::pair<int, int>, bool> skolems;
  std::map<std::pair<int, std::uint64_t>, z3::expr> literal_members;  // (set, term id)
  std::vector<std::vector<ConstraintTerms>> outcomes;
  std::vector<z3::expr> loads;

  static std::set<std::string> known_texts(const std::vector<Checked>& templates,
                                           const Domain* domain) {
    std::set<std::string> texts;
    if (domain) texts.insert(domain->texts.begin(), domain->texts.end());
    for (const Checked& c : templates) {
      for (const types::Constraint& constraint : c.tmpl->constraints) {
        post_order(constraint.expr, [&](const Expr& e) {
          if (const auto* lit = std::get_if<types::Literal>(&e.node)) {
            if (const auto* s = std::get_if<std::string>(&lit->data)) texts.insert(*s);
            if (const auto* ss = std::get_if<types::StringSet>(&lit->data)) {
              texts.insert(ss->begin(), ss->end());
            }
          }
          return true;
        });
      }
    }
    return texts;
  }

  static bool linear_only(const std::vector<Checked>& templates) {
    bool linear = true;
    for (const Checked& c : templates) {
      for (const types::Constraint& constraint : c.tmpl->constraints) {
        post_order(constraint.expr, [&](const Expr& e) {
          if (e.kind() == ExprKind::Mul) {
            const auto literal = [](const Expr& p) { return p.kind() == ExprKind::Literal; };
            if (!literal(e.binary()->left()) && !literal(e.binary()->right())) linear = false;
          }
          return linear;
        });
      }
    }
    return linear;
  }

  bool spend(std::size_t n = 1) {
    work += n;
    if (work > kWorkLimit) over = true;
    return !over;
  }

  z3::sort bv_sort() { return ctx.bv_sort(kBits); }
  z3::expr bv(std::uint64_t v) { return ctx.bv_val(v, kBits); }
  z3::sort sort_of(Kind kind) { return kind == Kind::Int && linear ? ctx.int_sort() : bv_sort(); }
  // The term of a constant's code (an integer's bits, a text's or date's code).
  z3::expr constant(Kind kind, std::uint64_t code) {
    if (kind == Kind::Int && linear) return ctx.int_val(static_cast<std::int64_t>(code));
    return bv(code);
  }
  // Signed order of two integers, or of two date keys.
  static z3::expr less(const z3::expr& a, const z3::expr& b) {
    return a.is_int() ? a < b : z3::slt(a, b);
  }
  static z3::expr at_most(const z3::expr& a, const z3::expr& b) {
    return a.is_int() ? a <= b : z3::sle(a, b);
  }
  z3::expr fits_64_bits(const z3::expr& v) {
    return ctx.int_val(std::numeric_limits<std::int64_t>::min()) <= v &&
           v <= ctx.int_val(std::numeric_limits<std::int64_t>::max());
  }
  z3::expr fresh(const z3::sort& s, const char* prefix) {
    Z3_ast a = Z3_mk_fresh_const(ctx, prefix, s);
    ctx.check_error();
    return z3::expr(ctx, a);
  }
  // Whether array `carrier` holds element `e`.
  z3::expr holds(int carrier, const Element& e) {
    const auto key = e.value ? std::make_pair(false, *e.value)
                             : std::make_pair(true, std::uint64_t{e.term.id()});
    auto& flags = array_carriers[carrier].flags;
    auto it = flags.find(key);
    if (it == flags.end()) it = flags.emplace(key, fresh(ctx.bool_sort(), "holds")).first;
    return it->second;
  }
  // The same once finish() made every flag.
  const z3::expr& held(int carrier, const Element& e) const {
    return array_carriers[carrier].flags.at(e.value
                                                ? std::make_pair(false, *e.value)
                                                : std::make_pair(true, std::uint64_t{e.term.id()}));
  }
  int node_of(int carrier) const { return array_carriers[carrier].node; }

  // ---- Values and their ranges ----

  z3::expr valid_date(const z3::expr& key) {
    const z3::expr y = key.extract(29, 16);
    const z3::expr m = key.extract(15, 8);
    const z3::expr d = key.extract(7, 0);
    const z3::expr long_month =
        m == 1 || m == 3 || m == 5 || m == 7 || m == 8 || m == 10 || m == 12;
    const z3::expr leap = z3::urem(y, 4) == 0 && (z3::urem(y, 100) != 0 || z3::urem(y, 400) == 0);
    return key.extract(63, 30) == 0 && z3::ule(y, 9999) && z3::uge(m, 1) && z3::ule(m, 12) &&
           z3::uge(d, 1) && z3::ule(d, 31) && (z3::ule(d, 30) || long_month) &&
           (m != 2 || z3::ule(d, 28) || (d == 29 && leap));
  }

  z3::expr is_spelling(const z3::expr& code) { return code.extract(63, 62) == 1; }
  z3::expr spelled_key(const z3::expr& code) { return z3::zext(code.extract(29, 0), 34); }

  z3::expr valid_spelling(const z3::expr& code) {
    const z3::expr key = spelled_key(code);
    return is_spelling(code) && code.extract(61, 35) == 0 && code.extract(31, 30) == 0 &&
           valid_date(key) && (code.extract(34, 34) == 0 || z3::ult(key.extract(29, 16), 1000)) &&
           (code.extract(33, 33) == 0 || z3::ult(key.extract(15, 8), 10)) &&
           (code.extract(32, 32) == 0 || z3::ult(key.extract(7, 0), 10));
  }

  std::uint64_t domain_code(Kind kind, std::size_t i) {
    switch (kind) {
      case Kind::Int:
        return bits(domain->ints[i]);
      case Kind::Text:
        return table.code(domain->texts[i]);
      case Kind::Date:
        return bits(date_key(domain->dates[i]));
    }
    return 0;
  }
  std::size_t domain_size(Kind kind) {
    return kind == Kind::Int    ? domain->ints.size()
           : kind == Kind::Text ? domain->texts.size()
                                : domain->dates.size();
  }

  // Whether a constant is a value a request may hold.
  bool in_range(Kind kind, std::uint64_t v) {
    if (domain) {
      for (std::size_t i = 0; i < domain_size(kind); ++i) {
        if (domain_code(kind, i) == v) return true;
      }
      return false;
    }
    switch (kind) {
      case Kind::Int:
        return true;
      case Kind::Date: {
        const auto key = static_cast<std::int64_t>(v);
        return date_key(key_date(key)) == key && analysis::valid_date(key_date(key));
      }
      case Kind::Text:
        if (!is_spelling_code(v)) return true;
        if (rich_texts) return spelling_code(spelling_text(v)) == v;
        return std::find(table.spelling_codes().begin(), table.spelling_codes().end(), v) !=
               table.spelling_codes().end();
    }
    return false;
  }

  // The values a request may hold: every int; valid dates; texts, where a
  // date spelling that is no known text is needed only when a member is a
  // string and a date at once (otherwise a fresh non-date text serves).
  z3::expr range(Kind kind, const z3::expr& t) {
    if (domain) {
      z3::expr_vector options(ctx);
      for (std::size_t i = 0; i < domain_size(kind); ++i)
        options.push_back(t == constant(kind, domain_code(kind, i)));
      spend(domain_size(kind));
      return z3::mk_or(options);
    }
    switch (kind) {
      case Kind::Int:
        return linear ? fits_64_bits(t) : ctx.bool_val(true);
      case Kind::Date:
        return valid_date(t);
      case Kind::Text: {
        if (rich_texts) return z3::ult(t, bv(kDateSpellingTag)) || valid_spelling(t);
        z3::expr_vector options(ctx);
        options.push_back(z3::ult(t, bv(kDateSpellingTag)));
        for (std::uint64_t code : table.spelling_codes()) options.push_back(t == bv(code));
        spend(options.size());
        return z3::mk_or(options);
      }
    }
    return ctx.bool_val(true);
  }

  // ---- Element terms ----

  int new_node() {
    nodes.push_back({{}, static_cast<int>(nodes.size())});
    return static_cast<int>(nodes.size()) - 1;
  }
  int root(int n) const {
    while (nodes[n].parent != n) n = nodes[n].parent;
    return n;
  }
  void join(int a, int b) { nodes[root(a)].parent = root(b); }
  void add_element(int node, const z3::expr& term, std::optional<std::uint64_t> value) {
    nodes[node].own.add({term, value});
  }
  // The element terms of the component of `node`.
  const Universe& elements_of(int node) const { return components[root(node)]; }

  // ---- Members of the request ----

  void declare_members() {
    for (std::size_t slot = 0; slot < templates.size(); ++slot) {
      const types::PolicyTemplate& t = *templates[slot].tmpl;
      for (const auto& [name, f] : t.intent_schema.fields) {
        member(true, name).declared[slot] = Field{f.type, f.optional};
      }
      for (const auto& [name, f] : t.evidence_schema.fields) {
        member(false, name).declared[slot] = Field{f.type, false};
      }
    }
    for (Member& m : members) choose_carriers(m);
  }

  Member& member(bool intent, const std::string& name) {
    const auto key = std::make_pair(intent, name);
    auto it = member_index.find(key);
    if (it == member_index.end()) {
      it = member_index.emplace(key, members.size()).first;
      members.push_back(
          Member{intent, name, {}, fresh(ctx.bool_sort(), "present"), {}, {}, {}, {}});
    }
    return members[it->second];
  }

  void choose_carriers(Member& m) {
    std::vector<Type> types;
    for (const auto& d : m.declared) {
      if (d && std::find(types.begin(), types.end(), d->type) == types.end()) {
        types.push_back(d->type);
      }
    }
    const auto both = [&](Type a, Type b) {
      return types.size() == 2 &&
             ((types[0] == a && types[1] == b) || (types[0] == b && types[1] == a));
    };
    if (both(Type::String, Type::Date)) {
      m.carriers = {Carrier::Text};
      rich_texts = true;
    } else if (both(Type::StringSet, Type::DateSet)) {
      m.carriers = {Carrier::TextArray};
      rich_texts = true;
    } else {
      for (Type t : types) m.carriers.push_back(natural(t));
    }
    if (m.carriers.size() == 2) m.select = fresh(ctx.bool_sort(), "select");
    for (Carrier c : m.carriers) {
      if (is_array(c)) {
        m.scalars.push_back(std::nullopt);
        m.arrays.push_back(static_cast<int>(array_carriers.size()));
        array_carriers.push_back({new_node(), {}});
      } else {
        m.scalars.push_back(c == Carrier::Bool  ? fresh(ctx.bool_sort(), "value")
                            : c == Carrier::Int ? fresh(sort_of(Kind::Int), "value")
                                                : fresh(bv_sort(), "value"));
        m.arrays.push_back(-1);
      }
    }
  }

  // The carrier that holds a value of `type` for `m`.
  std::size_t carrier_of(const Member& m, Type type) const {
    const Carrier wanted = natural(type);
    for (std::size_t i = 0; i < m.carriers.size(); ++i) {
      if (m.carriers[i] == wanted) return i;
    }
    return 0;  // a date in a text, a date set in an array of texts
  }

  z3::expr selected(const Member& m, std::size_t carrier) {
    if (!m.select) return ctx.bool_val(true);
    return carrier == 0 ? *m.select : !*m.select;
  }

  Value field_value(std::size_t slot, bool intent, const std::string& name) {
    Member& m = members[member_index.at({intent, name})];
    const Type type = m.declared[slot]->type;
    const std::size_t c = carrier_of(m, type);
    if (!types::is_set_type(type)) {
      if (type == Type::Date && m.carriers[c] == Carrier::Text) {
        return {spelled_key(*m.scalars[c]), std::nullopt};
      }
      return {*m.scalars[c], std::nullopt};
    }
    if (m.view_set[slot] < 0) {
      const bool image = type == Type::DateSet && m.carriers[c] == Carrier::TextArray;
      m.view_set[slot] = static_cast<int>(sets.size());
      SetTerm view{SetTerm::Form::Array, kind_of(type),  {},
                   m.arrays[c],          selected(m, c), node_of(m.arrays[c])};
      if (image) {
        view.form = SetTerm::Form::Image;
        view.node = new_node();
      }
      sets.push_back(std::move(view));
    }
    return {ctx.bool_val(true), std::nullopt, m.view_set[slot]};
  }

  // ---- Sets ----

  template <typename T, typename Code>
  int literal_set(Kind kind, const types::OrderedSet<T>& items, Code code) {
    SetTerm s{SetTerm::Form::Literal, kind, {}, -1, ctx.bool_val(true), new_node()};
    for (const T& item : items) {
      const std::uint64_t v = code(item);
      s.values.push_back(v);
      add_element(s.node, constant(kind, v), v);
    }
    spend(items.size());
    std::sort(s.values.begin(), s.values.end());
    sets.push_back(std::move(s));
    return static_cast<int>(sets.size()) - 1;
  }

  bool literal_contains(const SetTerm& s, std::uint64_t v) const {
    return std::binary_search(s.values.begin(), s.values.end(), v);
  }

  // Membership of a symbolic element in a literal set, as a decision tree
  // over the element's bits: a subtree that holds one value compares the
  // remaining low bits, one that holds every value of its bits is true. A
  // large literal such as 1..100000 becomes a handful of terms, and any
  // literal stays within a few terms per element.
  z3::expr literal_member(int set, const z3::expr& e) {
    const auto key = std::make_pair(set, static_cast<std::uint64_t>(e.id()));
    if (auto it = literal_members.find(key); it != literal_members.end()) return it->second;
    const std::vector<std::uint64_t>& values = sets[set].values;  // ascending
    z3::expr result = e.is_int() ? interval_tree(e, runs(values), 0, runs(values).size())
                                 : bit_tree(e, values, 0, values.size(), 63);
    spend(4 * values.size());
    literal_members.emplace(key, result);
    return result;
  }

  // Whether e is one of values[lo, hi), which agree on the bits above `bit`.
  // Recursion is one level per bit, 64 at most.
  z3::expr bit_tree(const z3::expr& e, const std::vector<std::uint64_t>& values, std::size_t lo,
                    std::size_t hi, int bit) {
    if (lo == hi) return ctx.bool_val(false);
    if (bit < 63 && hi - lo == (std::uint64_t{1} << (bit + 1))) return ctx.bool_val(true);
    if (hi - lo == 1) {
      if (bit == 63) return e == bv(values[lo]);
      const std::uint64_t mask = (std::uint64_t{2} << bit) - 1;
      return e.extract(bit, 0) == ctx.bv_val(values[lo] & mask, bit + 1);
    }
    const std::uint64_t split = std::uint64_t{1} << bit;
    const std::size_t mid = static_cast<std::size_t>(
        std::partition_point(values.begin() + lo, values.begin() + hi,
                             [&](std::uint64_t v) { return (v & split) == 0; }) -
        values.begin());
    return z3::ite(e.extract(bit, bit) == 1, bit_tree(e, values, mid, hi, bit - 1),
                   bit_tree(e, values, lo, mid, bit - 1));
  }

  // An integer literal's values as runs of consecutive integers, ascending.
  static std::vector<std::pair<std::int64_t, std::int64_t>> runs(
      const std::vector<std::uint64_t>& codes) {
    std::vector<std::int64_t> values;
    for (std::uint64_t c : codes) values.push_back(static_cast<std::int64_t>(c));
    std::sort(values.begin(), values.end());
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (std::int64_t v : values) {
      if (!out.empty() && out.back().second != std::numeric_limits<std::int64_t>::max() &&
          out.back().second + 1 == v) {
        out.back().second = v;
      } else {
        out.emplace_back(v, v);
      }
    }
    return out;
  }

  // Whether integer e lies in one of runs[lo, hi): a balanced search over
  // the runs, so each element costs terms logarithmic in their number.
  // Recursion halves the range, 64 levels at most.
  z3::expr interval_tree(const z3::expr& e,
                         const std::vector<std::pair<std::int64_t, std::int64_t>>& runs,
                         std::size_t lo, std::size_t hi) {
    if (lo == hi) return ctx.bool_val(false);
    if (hi - lo == 1) {
      const auto [first, last] = runs[lo];
      if (first == last) return e == ctx.int_val(first);
      return ctx.int_val(first) <= e && e <= ctx.int_val(last);
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    return z3::ite(e < ctx.int_val(runs[mid].first), interval_tree(e, runs, lo, mid),
                   interval_tree(e, runs, mid, hi));
  }

  // Membership in a set of the encoding, once every element term is known
  // (an image's membership looks at every text element).
  z3::expr member_of(int set, const Element& e) {
    const SetTerm& s = sets[set];
    switch (s.form) {
      case SetTerm::Form::Literal:
        if (e.value) return ctx.bool_val(literal_contains(s, *e.value));
        return literal_member(set, e.term);
      case SetTerm::Form::Array:
        return s.guard && holds(s.carrier, e);
      case SetTerm::Form::Image: {
        z3::expr_vector options(ctx);
        for (const Element& t : elements_of(node_of(s.carrier)).elements) {
          if (t.value) {
            if (!is_spelling_code(*t.value)) continue;
            const std::uint64_t key = *t.value & 0x3FFFFFFF;
            if (e.value && *e.value != key) continue;
            options.push_back(e.value ? holds(s.carrier, t)
                                      : holds(s.carrier, t) && e.term == bv(key));
          } else {
            options.push_back(holds(s.carrier, t) && is_spelling(t.term) &&
                              spelled_key(t.term) == e.term);
          }
          if (!spend()) break;
        }
        return s.guard && z3::mk_or(options);
      }
    }
    return ctx.bool_val(false);
  }

  z3::expr membership(int set, const Value& element) {
    const SetTerm& s = sets[set];
    if (s.form == SetTerm::Form::Literal) return member_of(set, {element.term, element.value});
    if (s.form == SetTerm::Form::Array) {
      add_element(s.node, element.term, element.value);
      return member_of(set, {element.term, element.value});
    }
    z3::expr atom = fresh(ctx.bool_sort(), "in");
    image_memberships.push_back({atom, set, {element.term, element.value}, owner});
    return atom;
  }

  void skolem(int a, int b) {
    if (sets[a].form == SetTerm::Form::Literal) return;  // a's own elements tell
    if (!skolems.emplace(std::make_pair(a, b), true).second) return;
    add_element(sets[a].node, fresh(sort_of(sets[a].kind), "apart"), std::nullopt);
  }

  z3::expr relation(int sub, int super, bool equal) {
    const SetTerm& a = sets[sub];
    const SetTerm& b = sets[super];
    if (a.form == SetTerm::Form::Literal && b.form == SetTerm::Form::Literal) {
      const bool within =
          std::includes(b.values.begin(), b.values.end(), a.values.begin(), a.values.end());
      return ctx.bool_val(equal ? a.values == b.values : within);
    }
    join(a.node, b.node);
    skolem(sub, super);
    if (equal) skolem(super, sub);
    z3::expr atom = fresh(ctx.bool_sort(), "rel");
    relations.push_back({atom, sub, super, equal, owner});
    return atom;
  }

  // Every element of `sub` is in `super`, over the element terms.
  z3::expr within(int sub, int super) {
    const SetTerm& a = sets[sub];
    z3::expr_vector all(ctx);
    if (a.form == SetTerm::Form::Literal) {
      for (std::uint64_t v : a.values) {
        all.push_back(member_of(super, {constant(a.kind, v), v}));
        if (!spend()) break;
      }
      return z3::mk_and(all);
    }
    for (const Element& e : elements_of(a.node).elements) {
      z3::expr in_sub = member_of(sub, e);
      if (in_sub.is_false()) continue;
      all.push_back(z3::implies(in_sub, member_of(super, e)));
      if (!spend()) break;
    }
    return z3::mk_and(all);
  }

  // ---- Expressions ----

  Value literal(const types::Literal& lit) {
    return std::visit(
        [&](const auto& v) -> Value {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, bool>) {
            return {ctx.bool_val(v), std::nullopt};
          } else if constexpr (std::is_same_v<V, std::int64_t>) {
            return {constant(Kind::Int, bits(v)), bits(v)};
          } else if constexpr (std::is_same_v<V, std::string>) {
            return {bv(table.code(v)), table.code(v)};
          } else if constexpr (std::is_same_v<V, types::DateLit>) {
            return {bv(bits(date_key(v))), bits(date_key(v))};
          } else if constexpr (std::is_same_v<V, types::IntSet>) {
            return {ctx.bool_val(true), std::nullopt,
                    literal_set(Kind::Int, v, [](std::int64_t i) { return bits(i); })};
          } else if constexpr (std::is_same_v<V, types::StringSet>) {
            return {
                ctx.bool_val(true), std::nullopt,
                literal_set(Kind::Text, v, [&](const std::string& s) { return table.code(s); })};
          } else {
            return {ctx.bool_val(true), std::nullopt,
                    literal_set(Kind::Date, v,
                                [](const types::DateLit& d) { return bits(date_key(d)); })};
          }
        },
        lit.data);
  }

  // Overflow of the signed 64-bit operation: the exact result does not fit.
  // For `+` and `-` it is computed in one bit more. For `*` the magnitudes
  // are multiplied as unsigned numbers, which the solver's unsigned overflow
  // predicate checks fast, and the product must not pass 2^63 - 1 (2^63 for
  // a negative result). The solver's signed predicate is wrong for negative
  // operands in the Z3 of Debian 12, and a 128-bit product is slow to solve.
  z3::expr overflows(ExprKind kind, const Value& x, const Value& y, const z3::expr& exact) {
    const z3::expr& a = x.term;
    const z3::expr& b = y.term;
    if (linear) return !fits_64_bits(exact);
    if (kind == ExprKind::Mul && (x.value || y.value)) {
      // By a constant: the product fits exactly for the factors in a range.
      const auto c = static_cast<std::int64_t>(x.value ? *x.value : *y.value);
      const z3::expr& f = x.value ? b : a;
      constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
      constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
      if (c == 0 || c == 1) return ctx.bool_val(false);
      if (c == -1) return f == bv(bits(kMin));
      // Division truncates toward zero, which rounds each bound inwards.
      const std::int64_t lo = c > 0 ? kMin / c : kMax / c;
      const std::int64_t hi = c > 0 ? kMax / c : kMin / c;
      return z3::slt(f, bv(bits(lo))) || z3::slt(bv(bits(hi)), f);
    }
    if (kind == ExprKind::Mul) {
      const z3::expr ua = z3::ite(z3::slt(a, 0), -a, a);
      const z3::expr ub = z3::ite(z3::slt(b, 0), -b, b);
      const z3::expr limit = z3::ite(z3::slt(a, 0) != z3::slt(b, 0), bv(std::uint64_t{1} << 63),
                                     bv((std::uint64_t{1} << 63) - 1));
      return !z3::bvmul_no_overflow(ua, ub, false) || z3::ugt(ua * ub, limit);
    }
    const z3::expr wide =
        kind == ExprKind::Add ? z3::sext(a, 1) + z3::sext(b, 1) : z3::sext(a, 1) - z3::sext(b, 1);
    return wide.extract(64, 64) != wide.extract(63, 63);
  }

  Value node(std::size_t slot, const Expr& e, const std::unordered_map<const Expr*, Value>& done,
             std::vector<z3::expr>& errors) {
    const auto at = [&](const Expr& p) -> const Value& { return done.at(&p); };
    const NodeTypes& node_types = *templates[slot].types;
    switch (e.kind()) {
      case ExprKind::Literal:
        return literal(std::get<types::Literal>(e.node));
      case ExprKind::IntentField:
        return field_value(slot, true, std::get<types::IntentField>(e.node).name);
      case ExprKind::EvidenceField:
        return field_value(slot, false, std::get<types::EvidenceField>(e.node).name);
      case ExprKind::Add:
      case ExprKind::Sub:
      case ExprKind::Mul: {
        const Value& a = at(e.binary()->left());
        const Value& b = at(e.binary()->right());
        if (e.kind() == ExprKind::Mul && !a.value && !b.value) spend(kProductCost);
        if (!linear && !(a.value && b.value)) spend(kBitArithmeticCost);
        // Bit-vectors wrap; integers keep the exact result, which only an
        // erring constraint ever sees beyond the range.
        const z3::expr r = e.kind() == ExprKind::Add   ? a.term + b.term
                           : e.kind() == ExprKind::Sub ? a.term - b.term
                                                       : a.term * b.term;
        errors.push_back(overflows(e.kind(), a, b, r));
        return {r, std::nullopt};
      }
      case ExprKind::Eq: {
        const Value& a = at(e.binary()->left());
        const Value& b = at(e.binary()->right());
        if (types::is_set_type(node_types.at(&e.binary()->left()))) {
          return {relation(a.set, b.set, true), std::nullopt};
        }
        if (a.value && b.value) return {ctx.bool_val(*a.value == *b.value), std::nullopt};
        return {a.term == b.term, std::nullopt};
      }
      case ExprKind::Lt:
        return {less(at(e.binary()->left()).term, at(e.binary()->right()).term), std::nullopt};
      case ExprKind::Le:
        return {at_most(at(e.binary()->left()).term, at(e.binary()->right()).term), std::nullopt};
      case ExprKind::Gt:
        return {less(at(e.binary()->right()).term, at(e.binary()->left()).term), std::nullopt};
      case ExprKind::Ge:
        return {at_most(at(e.binary()->right()).term, at(e.binary()->left()).term), std::nullopt};
      case ExprKind::In:
        return {membership(at(e.binary()->right()).set, at(e.binary()->left())), std::nullopt};
      case ExprKind::SubsetOf:
        return {relation(at(e.binary()->left()).set, at(e.binary()->right()).set, false),
                std::nullopt};
      case ExprKind::SupersetOf:
        return {relation(at(e.binary()->right()).set, at(e.binary()->left()).set, false),
                std::nullopt};
      case ExprKind::Not:
        return {!done.at(std::get<types::Not>(e.node).operand.get()).term, std::nullopt};
      case ExprKind::And:
      case ExprKind::Or: {
        const auto& operands = e.kind() == ExprKind::And ? std::get<types::And>(e.node).operands
                                                         : std::get<types::Or>(e.node).operands;
        z3::expr_vector terms(ctx);
        for (const Expr& o : operands) terms.push_back(done.at(&o).term);
        return {e.kind() == ExprKind::And ? z3::mk_and(terms) : z3::mk_or(terms), std::nullopt};
      }
    }
    return {ctx.bool_val(false), std::nullopt};
  }

  // Evaluates every operand (no short-circuit), so a constraint errs exactly
  // when one of its `+`, `-`, `*` overflows on the values its operands have
  // when they do not err themselves; once an operand errs, the constraint
  // errs whatever the wrapped values of the nodes above it say.
  ConstraintTerms constraint(std::size_t slot, const types::Constraint& c) {
    owner = {slot, definitions[slot].size()};
    std::unordered_map<const Expr*, Value> done;
    std::vector<z3::expr> errors;
    post_order(c.expr, [&](const Expr& e) {
      done.emplace(&e, node(slot, e, done, errors));
      return !over;
    });
    if (over) return {ctx.bool_val(true), ctx.bool_val(false), ctx.bool_val(false)};
    const z3::expr value = done.at(&c.expr).term;
    z3::expr_vector error_terms(ctx);
    for (const z3::expr& e : errors) error_terms.push_back(e);
    const z3::expr errs = z3::mk_or(error_terms);
    z3::expr_vector absent(ctx);
    for (const std::string& name :
         types::optional_fields_read(templates[slot].tmpl->intent_schema, c.expr)) {
      absent.push_back(!members[member_index.at({true, name})].present);
    }
    const z3::expr skipped = c.optional ? z3::mk_or(absent) : ctx.bool_val(false);
    z3::expr_vector& defs = definitions[slot].emplace_back(ctx);
    return {named(skipped || (!errs && value), "passed", defs),
            named(!skipped && !errs && !value, "failed", defs),
            named(!skipped && errs, "errored", defs)};
  }

  // A name for `term`, defined in the background: the solver then turns each
  // constraint into clauses once, however many queries ask about it.
  z3::expr named(const z3::expr& term, const char* prefix, z3::expr_vector& defs) {
    z3::expr name = fresh(ctx.bool_sort(), prefix);
    defs.push_back(name == term);
    return name;
  }

  // ---- Completing the encoding ----

  void finish() {
    // An image holds the dates its texts spell; those dates are elements too.
    const bool images = std::any_of(
        sets.begin(), sets.end(), [](const SetTerm& s) { return s.form == SetTerm::Form::Image; });
    components.resize(nodes.size());
    for (std::size_t n = 0; n < nodes.size(); ++n) {
      for (const Element& e : nodes[n].own.elements) components[root(n)].add(e);
    }
    if (images) {
      for (const SetTerm& s : sets) {
        if (s.form != SetTerm::Form::Image) continue;
        Universe& dates = components[root(s.node)];
        for (const Element& t : elements_of(node_of(s.carrier)).elements) {
          if (!t.value) {
            dates.add({spelled_key(t.term), std::nullopt});
          } else if (is_spelling_code(*t.value)) {
            const std::uint64_t key = *t.value & 0x3FFFFFFF;
            dates.add({bv(key), key});
          }
        }
      }
    }
    // Equal elements are held alike: flags of two terms agree when the
    // terms are equal (two constants are never equal).
    for (std::size_t a = 0; a < array_carriers.size(); ++a) {
      const std::vector<Element>& elements = elements_of(node_of(a)).elements;
      for (const Element& e : elements) holds(a, e);
      for (std::size_t i = 0; i < elements.size(); ++i) {
        for (std::size_t j = i + 1; j < elements.size(); ++j) {
          if (elements[i].value && elements[j].value) continue;
          background.push_back(z3::implies(elements[i].term == elements[j].term,
                                           holds(a, elements[i]) == holds(a, elements[j])));
          if (!spend()) return;
        }
      }
    }
    // Set atoms are defined with the constraint that holds them, so that a
    // query about another constraint need not carry them.
    for (const ImageMembership& m : image_memberships) {
      definitions[m.owner.first][m.owner.second].push_back(m.atom == member_of(m.set, m.element));
      if (over) return;
    }
    for (const Relation& r : relations) {
      z3::expr holds = within(r.sub, r.super);
      if (r.equal) holds = holds && within(r.super, r.sub);
      definitions[r.owner.first][r.owner.second].push_back(r.atom == holds);
      if (over) return;
    }
    for (const Member& m : members) {
      for (std::size_t c = 0; c < m.carriers.size(); ++c) {
        const Carrier carrier = m.carriers[c];
        if (carrier == Carrier::Int || carrier == Carrier::Text || carrier == Carrier::Date) {
          const Kind kind = carrier == Carrier::Int    ? Kind::Int
                            : carrier == Carrier::Text ? Kind::Text
                                                       : Kind::Date;
          background.push_back(range(kind, *m.scalars[c]));
        } else if (is_array(carrier)) {
          const Kind kind = array_kind(carrier);
          for (const Element& e : elements_of(node_of(m.arrays[c])).elements) {
            if (e.value) {
              if (!in_range(kind, *e.value)) background.push_back(!holds(m.arrays[c], e));
            } else {
              background.push_back(z3::implies(holds(m.arrays[c], e), range(kind, e.term)));
            }
            if (!spend()) return;
          }
        }
      }
    }
    for (std::size_t slot = 0; slot < templates.size(); ++slot) {
      z3::expr_vector all(ctx);
      for (const Member& m : members) all.push_back(member_loads(m, slot));
      loads.push_back(named(z3::mk_and(all), "loads", background));
    }
  }

  z3::expr all_spell_dates(int carrier) {
    z3::expr_vector all(ctx);
    for (const Element& e : elements_of(node_of(carrier)).elements) {
      if (e.value) {
        if (!is_spelling_code(*e.value)) all.push_back(!holds(carrier, e));
      } else {
        all.push_back(z3::implies(holds(carrier, e), is_spelling(e.term)));
      }
      if (!spend()) break;
    }
    return z3::mk_and(all);
  }

  z3::expr empty(int carrier) {
    z3::expr_vector none(ctx);
    for (const Element& e : elements_of(node_of(carrier)).elements) {
      none.push_back(!holds(carrier, e));
      if (!spend()) break;
    }
    return z3::mk_and(none);
  }

  z3::expr member_loads(const Member& m, std::size_t slot) {
    const auto& declared = m.declared[slot];
    if (!declared) return !m.present;
    const std::size_t c = carrier_of(m, declared->type);
    z3::expr fits = selected(m, c);
    if (declared->type == Type::Date && m.carriers[c] == Carrier::Text) {
      fits = fits && is_spelling(*m.scalars[c]);
    } else if (declared->type == Type::DateSet && m.carriers[c] == Carrier::TextArray) {
      fits = fits && all_spell_dates(m.arrays[c]);
    }
    if (types::is_set_type(declared->type) && m.carriers.size() == 2 &&
        is_array(m.carriers[1 - c])) {
      // An empty array is a set of any type.
      const std::size_t other = 1 - c;
      fits = fits || (selected(m, other) && empty(m.arrays[other]));
    }
    const z3::expr required = declared->optional ? ctx.bool_val(true) : m.present;
    return required && z3::implies(m.present, fits);
  }

  // ---- Witnesses ----

  // The values of the flags a model assigns, by the id of their constant.
  // Reading them at once is much faster than evaluating each of the flags
  // of a large array. A flag the model leaves out occurs in no assertion the
  // solver kept, so any value fits it: it is false, which keeps witness sets
  // small.
  static std::unordered_map<unsigned, bool> assigned_flags(const z3::model& model) {
    std::unordered_map<unsigned, bool> flags;
    for (unsigned i = 0; i < model.num_consts(); ++i) {
      const z3::func_decl decl = model.get_const_decl(i);
      if (decl.range().is_bool()) flags.emplace(decl.id(), model.get_const_interp(decl).is_true());
    }
    return flags;
  }

  // The code of a value term in a model: an integer's bits, or the
  // bit-vector as it is.
  static std::uint64_t code_in(const z3::model& model, const z3::expr& term) {
    const z3::expr v = model.eval(term, true);
    return v.is_int() ? bits(v.get_numeral_int64()) : v.get_numeral_uint64();
  }

  std::vector<std::uint64_t> realization(const z3::model& model, int carrier,
                                         const std::unordered_map<unsigned, bool>& flags) const {
    std::set<std::uint64_t> values;
    for (const Element& e : elements_of(node_of(carrier)).elements) {
      const z3::expr& flag = held(carrier, e);
      const auto known = flags.find(flag.decl().id());
      if (known != flags.end() && known->second) {
        values.insert(e.value ? *e.value : code_in(model, e.term));
      }
    }
    return {values.begin(), values.end()};
  }
};

namespace {

std::string json_string(std::string_view text) {
  static const char* kHex = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string json_array(std::vector<std::string> items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += items[i];
  }
  return out + "]";
}

std::string date_json(std::uint64_t key) {
  return json_string(date_text(key_date(static_cast<std::int64_t>(key))));
}

}  // namespace

Encoding::Encoding(z3::context& ctx, const std::vector<Checked>& templates, const Domain* domain)
    : impl_(std::make_unique<Impl>(ctx, templates, domain)) {
  impl_->declare_members();
  for (std::size_t slot = 0; slot < templates.size(); ++slot) {
    impl_->outcomes.emplace_back();
    impl_->definitions.emplace_back();
    for (const types::Constraint& c : templates[slot].tmpl->constraints) {
      impl_->outcomes.back().push_back(impl_->constraint(slot, c));
      if (impl_->over) return;
    }
  }
  impl_->finish();
}

Encoding::~Encoding() = default;

z3::expr Encoding::loads(std::size_t slot) const { return impl_->loads.at(slot); }

const std::vector<ConstraintTerms>& Encoding::constraints(std::size_t slot) const {
  return impl_->outcomes.at(slot);
}

z3::expr_vector Encoding::background() const {
  z3::expr_vector all(impl_->ctx);
  for (unsigned i = 0; i < impl_->background.size(); ++i) all.push_back(impl_->background[i]);
  for (const auto& slot : impl_->definitions) {
    for (const z3::expr_vector& defs : slot) {
      for (unsigned i = 0; i < defs.size(); ++i) all.push_back(defs[i]);
    }
  }
  return all;
}

z3::expr_vector Encoding::background(std::size_t slot, std::size_t index) const {
  z3::expr_vector all(impl_->ctx);
  for (unsigned i = 0; i < impl_->background.size(); ++i) all.push_back(impl_->background[i]);
  const z3::expr_vector& defs = impl_->definitions.at(slot).at(index);
  for (unsigned i = 0; i < defs.size(); ++i) all.push_back(defs[i]);
  return all;
}

bool Encoding::too_large() const { return impl_->over; }

std::size_t Encoding::size() const { return impl_->work; }

z3::expr Encoding::small_ints(std::int64_t bound) const {
  Impl& im = *impl_;
  const auto small = [&](const z3::expr& v) {
    return Impl::at_most(im.constant(Kind::Int, bits(-bound)), v) &&
           Impl::at_most(v, im.constant(Kind::Int, bits(bound)));
  };
  z3::expr_vector all(im.ctx);
  for (const Member& m : im.members) {
    for (std::size_t c = 0; c < m.carriers.size(); ++c) {
      if (m.carriers[c] == Carrier::Int) all.push_back(small(*m.scalars[c]));
      if (m.carriers[c] != Carrier::IntArray) continue;
      for (const Element& e : im.elements_of(im.node_of(m.arrays[c])).elements) {
        if (!e.value) all.push_back(z3::implies(im.held(m.arrays[c], e), small(e.term)));
      }
    }
  }
  return z3::mk_and(all);
}

Request Encoding::request(const z3::model& model) const {
  const Impl& im = *impl_;
  // One value per present member, in name order; texts are named once every
  // code of the request is known, so that fresh texts stay distinct.
  struct Pending {
    bool intent;
    std::string name;
    Carrier carrier;
    std::vector<std::uint64_t> values;  // one for scalars
    bool flag = false;                  // a bool's value
  };
  std::vector<Pending> pending;
  std::set<std::uint64_t> text_codes;
  const std::unordered_map<unsigned, bool> flags = Impl::assigned_flags(model);
  for (const Member& m : im.members) {
    if (!model.eval(m.present, true).is_true()) continue;
    std::size_t c = 0;
    if (m.select && !model.eval(*m.select, true).is_true()) c = 1;
    Pending p{m.intent, m.name, m.carriers[c], {}};
    if (p.carrier == Carrier::Bool) {
      p.flag = model.eval(*m.scalars[c], true).is_true();
    } else if (is_array(p.carrier)) {
      p.values = im.realization(model, m.arrays[c], flags);
    } else {
      p.values.push_back(Impl::code_in(model, *m.scalars[c]));
    }
    if (p.carrier == Carrier::Text || p.carrier == Carrier::TextArray) {
      text_codes.insert(p.values.begin(), p.values.end());
    }
    pending.push_back(std::move(p));
  }
  const std::map<std::uint64_t, std::string> texts = im.table.texts_for(text_codes);

  std::map<std::string, std::string> intent, evidence;
  for (const Pending& p : pending) {
    std::string json;
    switch (p.carrier) {
      case Carrier::Bool:
        json = p.flag ? "true" : "false";
        break;
      case Carrier::Int:
        json = std::to_string(static_cast<std::int64_t>(p.values[0]));
        break;
      case Carrier::Text:
        json = json_string(texts.at(p.values[0]));
        break;
      case Carrier::Date:
        json = date_json(p.values[0]);
        break;
      case Carrier::IntArray: {
        std::vector<std::int64_t> ints;
        for (std::uint64_t v : p.values) ints.push_back(static_cast<std::int64_t>(v));
        std::sort(ints.begin(), ints.end());
        std::vector<std::string> items;
        for (std::int64_t v : ints) items.push_back(std::to_string(v));
        json = json_array(std::move(items));
        break;
      }
      case Carrier::TextArray: {
        std::vector<std::string> strings;
        for (std::uint64_t v : p.values) strings.push_back(texts.at(v));
        std::sort(strings.begin(), strings.end());
        std::vector<std::string> items;
        for (const std::string& s : strings) items.push_back(json_string(s));
        json = json_array(std::move(items));
        break;
      }
      case Carrier::DateArray: {
        std::vector<std::int64_t> keys;
        for (std::uint64_t v : p.values) keys.push_back(static_cast<std::int64_t>(v));
        std::sort(keys.begin(), keys.end());
        std::vector<std::string> items;
        for (std::int64_t k : keys) items.push_back(date_json(static_cast<std::uint64_t>(k)));
        json = json_array(std::move(items));
        break;
      }
    }
    (p.intent ? intent : evidence).emplace(p.name, std::move(json));
  }
  const auto object = [](const std::map<std::string, std::string>& members) {
    std::string out = "{";
    bool first = true;
    for (const auto& [name, value] : members) {
      if (!first) out += ", ";
      first = false;
      out += json_string(name) + ": " + value;
    }
    return out + "}\n";
  };
  return Request{object(intent), object(evidence)};
}

}  // namespace verdane::analysis
