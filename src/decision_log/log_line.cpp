#include "decision_log/log_line.h"

#include <array>
#include <charconv>
#include <cstring>

#include "support/utf8.h"

namespace verdane::decision_log {

namespace {

// The line is read by hand rather than by a general JSON parser: the request's
// documents, most of the line, are only delimited here (the evaluator parses
// them anyway), which makes reading a line about as cheap as deciding it.

constexpr int kNestingLimit = 4096;  // as for the documents themselves

struct Malformed {};  // the text is not JSON

// The bytes that open or close a string or container.
constexpr std::array<bool, 256> kStructural = [] {
  std::array<bool, 256> t{};
  for (const unsigned char c : std::string_view("\"{}[]")) t[c] = true;
  return t;
}();

// The bytes that end the plain run of a string.
constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = true;
  t['"'] = t['\\'] = true;
  return t;
}();

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

constexpr bool has_byte(std::uint64_t w, char c) {
  const std::uint64_t x = w ^ (kOnes * static_cast<unsigned char>(c));
  return ((x - kOnes) & ~x & kHighBits) != 0;
}

// Whether a byte of `w` is below 0x20, a quote or a backslash (bytes from
// 0x80 up may be flagged too; the byte loop after it decides).
constexpr bool stops_run(std::uint64_t w) {
  const auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighBits; };
  const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighBits;
  return (control | zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\'))) != 0;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : s_(text) {}

  bool at_end() const { return at_ == s_.size(); }
  std::size_t at() const { return at_; }
  void advance(std::size_t n) { at_ += n; }
  char peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }

  void skip_ws() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) {
      ++at_;
    }
  }
  // Takes `text` if the line goes on with it, as it is (no white space).
  // (Its length is known when compiling, so the comparison is inlined.)
  template <std::size_t N>
  bool literal(const char (&text)[N]) {
    constexpr std::size_t n = N - 1;
    if (s_.size() - at_ < n || std::memcmp(s_.data() + at_, text, n) != 0) return false;
    at_ += n;
    return true;
  }
  bool take(char c) {
    skip_ws();
    if (peek() != c) return false;
    ++at_;
    return true;
  }

  // A string at the current position: `view` is its text, in the line when
  // it has no escapes, else decoded into `storage`. Checks that it is UTF-8.
  bool string(std::string_view& view, std::string& storage) {
    if (peek() != '"') return false;
    std::size_t i = ++at_;
    bool high = false;
    // Eight bytes at a time while none of them ends the plain run.
    while (i + 8 <= s_.size()) {
      std::uint64_t w;
      std::memcpy(&w, s_.data() + i, sizeof w);
      if (stops_run(w)) break;
      high |= (w & kHighBits) != 0;
      i += 8;
    }
    while (i < s_.size() && !kStringStop[static_cast<unsigned char>(s_[i])]) {
      high |= static_cast<unsigned char>(s_[i]) >= 0x80;
      ++i;
    }
    if (i == s_.size() || static_cast<unsigned char>(s_[i]) < 0x20) return false;
    if (s_[i] == '"') {
      view = s_.substr(at_, i - at_);
      at_ = i + 1;
      return !high || !utf8::validate(view);
    }
    storage.assign(s_.data() + at_, i - at_);
    at_ = i;
    for (;;) {
      std::size_t run = at_;
      while (run < s_.size() && !kStringStop[static_cast<unsigned char>(s_[run])]) ++run;
      storage.append(s_.data() + at_, run - at_);
      at_ = run;
      if (at_ == s_.size() || static_cast<unsigned char>(s_[at_]) < 0x20) return false;
      if (s_[at_++] == '"') break;
      if (!escape(storage)) return false;
    }
    view = storage;
    return !utf8::validate(view);
  }
  bool string(std::string& out) {
    std::string_view view;
    if (!string(view, out)) return false;
    if (view.data() != out.data()) out.assign(view);
    return true;
  }

  // Passes over one value of any kind, checking only its brackets and strings
  // (the whole value is checked by whoever reads it).
  bool skip_value() {
    skip_ws();
    int depth = 0;
    for (;;) {
      // Straight to the next byte that matters inside a container.
      if (depth > 0) {
        while (at_ < s_.size() && !kStructural[static_cast<unsigned char>(s_[at_])]) ++at_;
      }
      const char c = peek();
      if (c == '"') {
        if (!skip_string()) return false;
      } else if (c == '{' || c == '[') {
        if (++depth > kNestingLimit) return false;
        ++at_;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return false;
        --depth;
        ++at_;
      } else if (at_ == s_.size()) {
        return false;
      } else {
        // A scalar at the top.
        while (at_ < s_.size() && std::strchr(",}] \t\r\n", s_[at_]) == nullptr) ++at_;
        return true;
      }
      if (depth == 0) return true;
    }
  }

 private:
  bool skip_string() {
    ++at_;
    for (;;) {
      // Eight bytes at a time up to a quote or a backslash.
      while (at_ + 8 <= s_.size()) {
        std::uint64_t w;
        std::memcpy(&w, s_.data() + at_, sizeof w);
        if (has_byte(w, '"') || has_byte(w, '\\')) break;
        at_ += 8;
      }
      while (at_ < s_.size() && s_[at_] != '"' && s_[at_] != '\\') ++at_;
      if (at_ == s_.size()) return false;
      if (s_[at_] == '"') {
        ++at_;
        return true;
      }
      at_ += 2;  // a backslash and the byte it escapes
      if (at_ > s_.size()) return false;
    }
  }

  bool hex4(char32_t& c) {
    if (s_.size() - at_ < 4) return false;
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(s_.data() + at_, s_.data() + at_ + 4, v, 16);
    if (ec != std::errc() || end != s_.data() + at_ + 4) return false;
    at_ += 4;
    c = v;
    return true;
  }

  bool escape(std::string& out) {
    if (at_ == s_.size()) return false;
    const char e = s_[at_++];
    switch (e) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    char32_t c = 0;
    if (!hex4(c)) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      char32_t low = 0;
      if (s_.substr(at_, 2) != "\\u") return false;
      at_ += 2;
      if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    utf8::append(out, c);
    return true;
  }

  std::string_view s_;
  std::size_t at_ = 0;
};

enum Member : std::size_t {
  kOther,
  kTime,
  kDecisionId,
  kTemplateId,
  kName,
  kDecision,
  kOutcomes,
  kInputError,
  kIntent,
  kEvidence,
  kMembers
};
constexpr std::array<std::string_view, kMembers> kMemberNames{
    "",         "time",     "decision_id", "template_id", "name",
    "decision", "outcomes", "input_error", "intent",      "evidence"};

enum class Type : std::uint8_t { Absent, String, Null, Array, Other };

// A scalar that is not a string: the word or number, checked loosely (the
// line is checked whole by a general parser when something looks wrong).
bool scalar_text(std::string_view t) {
  if (t == "true" || t == "false" || t == "null") return true;
  if (t.empty()) return false;
  for (char c : t) {
    if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E')) {
      return false;
    }
  }
  return true;
}

// The members of the line's object, read in one pass.
struct Reading {
  std::array<Type, kMembers> type{};
  std::string key_storage, word;
  std::string_view key;
  std::string decision;
  bool outcomes_ok = true;
  std::size_t outcome_count = 0;
};

bool read_value(Scanner& in, std::string_view line, Type& type, std::string* text) {
  in.skip_ws();
  const char c = in.peek();
  if (c == '"') {
    type = Type::String;
    std::string ignored;
    return in.string(text ? *text : ignored);
  }
  const std::size_t from = in.at();
  if (!in.skip_value()) return false;
  type = c == '[' ? Type::Array : c == 'n' ? Type::Null : Type::Other;
  // What was only delimited must still be JSON where it is not read again.
  return c == '{' || c == '[' || scalar_text(line.substr(from, in.at() - from));
}

// One element of `outcomes`: an object with index, outcome and expression.
bool read_outcome(Scanner& in, std::string_view line, api::Outcome& o, Reading& r) {
  if (!in.take('{')) return false;
  bool index = false, kind = false, expression = false;
  o.reason.clear();
  o.explanation.clear();
  if (in.take('}')) {
    r.outcomes_ok = false;
    return true;
  }
  do {
    in.skip_ws();
    if (!in.string(r.key, r.key_storage) || !in.take(':')) return false;
    Type t = Type::Absent;
    if (r.key == "index") {
      in.skip_ws();
      const char first = in.peek();
      const std::size_t from = in.at();
      if (!in.skip_value()) return false;
      const std::string_view n = line.substr(from, in.at() - from);
      if (first != '"' && first != '{' && first != '[' && !scalar_text(n)) return false;
      const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), o.index);
      index = ec == std::errc() && end == n.data() + n.size();
    } else if (r.key == "outcome") {
      if (!read_value(in, line, t, &r.word)) return false;
      kind = t == Type::String && (r.word == "failed" || r.word == "errored");
      if (kind)
        o.kind = r.word == "failed" ? api::Outcome::Kind::Failed : api::Outcome::Kind::Errored;
    } else if (r.key == "expression") {
      if (!read_value(in, line, t, &o.expression)) return false;
      expression = t == Type::String;
    } else if (r.key == "reason") {
      if (!read_value(in, line, t, &o.reason)) return false;
    } else if (!read_value(in, line, t, nullptr)) {
      return false;
    }
  } while (in.take(','));
  if (!in.take('}')) return false;
  if (!(index && kind && expression)) r.outcomes_ok = false;
  return true;
}

bool read_outcomes(Scanner& in, std::string_view line, std::vector<api::Outcome>& outcomes,
                   Reading& r) {
  in.skip_ws();
  if (in.peek() != '[') {
    Type t;
    return read_value(in, line, t, nullptr);
  }
  in.take('[');
  r.outcome_count = 0;
  if (!in.take(']')) {
    do {
      in.skip_ws();
      if (in.peek() != '{') {
        Type t;
        if (!read_value(in, line, t, nullptr)) return false;
        r.outcomes_ok = false;
        continue;
      }
      if (r.outcome_count == outcomes.size()) outcomes.emplace_back();
      if (!read_outcome(in, line, outcomes[r.outcome_count++], r)) return false;
    } while (in.take(','));
    if (!in.take(']')) return false;
  }
  outcomes.resize(r.outcome_count);
  return true;
}

// Reads the members; false when the text is not JSON (as far as it is read).
bool read_members(std::string_view line, LogLine& out, Reading& r) {
  Scanner in(line);
  if (!in.take('{')) return false;
  if (!in.take('}')) {
    do {
      in.skip_ws();
      if (!in.string(r.key, r.key_storage) || !in.take(':')) return false;
      std::size_t m = kOther;
      for (std::size_t i = 1; i < kMembers; ++i) {
        if (kMemberNames[i].size() == r.key.size() && kMemberNames[i][0] == r.key[0] &&
            kMemberNames[i] == r.key) {
          m = i;
          break;
        }
      }
      Type& t = r.type[m];
      switch (m) {
        case kOutcomes:
          in.skip_ws();
          t = in.peek() == '[' ? Type::Array : Type::Other;
          if (!read_outcomes(in, line, out.decision.outcomes, r)) return false;
          break;
        case kIntent:
        case kEvidence: {
          in.skip_ws();
          const std::size_t from = in.at();
          if (!read_value(in, line, t, nullptr)) return false;
          (m == kIntent ? out.intent : out.evidence) = line.substr(from, in.at() - from);
          break;
        }
        case kName:
          if (!out.name) out.name.emplace();
          if (!read_value(in, line, t, &*out.name)) return false;
          break;
        default: {
          std::string* text = m == kTime         ? &out.time
                              : m == kDecisionId ? &out.decision_id
                              : m == kTemplateId ? &out.template_id
                              : m == kDecision   ? &r.decision
                              : m == kInputError ? &r.word
                                                 : nullptr;
          if (m == kInputError && !out.decision.input_error) out.decision.input_error.emplace();
          if (m == kInputError) text = &*out.decision.input_error;
          if (!read_value(in, line, t, text)) return false;
        }
      }
    } while (in.take(','));
    if (!in.take('}')) return false;
  }
  in.skip_ws();
  return in.at_end();
}

// The line as the service writes it, member for member and without white
// space: most lines are read here, without looking up a single key. False as
// soon as the line departs from that layout; then it is read as any JSON.
bool read_service_layout(std::string_view line, LogLine& out, Reading& r) {
  Scanner in(line);
  std::string_view view;
  // A string member into `into`; `into` is also where escapes are decoded.
  const auto text = [&](Member m, std::string& into) {
    if (!in.string(view, into)) return false;
    if (view.data() != into.data()) into.assign(view);
    r.type[m] = Type::String;
    return true;
  };
  if (!in.literal("{\"time\":") || !text(kTime, out.time) || !in.literal(",\"decision_id\":") ||
      !text(kDecisionId, out.decision_id) || !in.literal(",\"template_id\":") ||
      !text(kTemplateId, out.template_id) || !in.literal(",\"name\":")) {
    return false;
  }
  if (in.literal("null")) {
    r.type[kName] = Type::Null;
  } else if (!text(kName, out.name.emplace())) {
    return false;
  }
  if (!in.literal(",\"decision\":") || !text(kDecision, r.decision)) return false;
  if (in.literal(",\"input_error\":")) {
    if (!text(kInputError, out.decision.input_error.emplace())) return false;
  } else if (in.literal(",\"outcomes\":[")) {
    r.type[kOutcomes] = Type::Array;
    std::vector<api::Outcome>& outcomes = out.decision.outcomes;
    std::size_t count = 0;
    if (!in.literal("]")) {
      do {
        if (count == outcomes.size()) outcomes.emplace_back();
        api::Outcome& o = outcomes[count++];
        if (!in.literal("{\"index\":")) return false;
        const char* digits = line.data() + in.at();
        const auto [end, ec] = std::from_chars(digits, line.data() + line.size(), o.index);
        if (ec != std::errc() || end == digits || (*digits == '0' && end - digits > 1))
          return false;
        in.advance(static_cast<std::size_t>(end - digits));
        if (!in.literal(",\"outcome\":") || !text(kOther, r.word)) return false;
        if (r.word != "failed" && r.word != "errored") return false;
        o.kind = r.word == "failed" ? api::Outcome::Kind::Failed : api::Outcome::Kind::Errored;
        o.explanation.clear();
        // An explanation, which the line has when the request asked for one,
        // is read by the general reader.
        if (!in.literal(",\"expression\":") || !text(kOther, o.expression) ||
            !in.literal(",\"reason\":") || !text(kOther, o.reason) || !in.literal("}")) {
          return false;
        }
      } while (in.literal(","));
      if (!in.literal("]")) return false;
    }
    outcomes.resize(count);
  } else {
    return false;
  }
  // The documents are the rest of the line: whoever decides them reads them
  // (once, not twice).
  if (in.literal(",")) {
    if (!in.literal("\"intent\":")) return false;
    out.inputs = line.substr(in.at() - (sizeof "\"intent\":" - 1));
    return true;
  }
  return in.literal("}") && in.at_end();
}

Status<std::string> problem(const char* what) { return make_err(std::string(what)); }

}  // namespace

Status<std::string> read_log_line(std::string_view line, LogLine& out, bool any_layout) {
  out.intent.reset();
  out.evidence.reset();
  out.inputs = {};
  out.decision.input_error.reset();
  Reading r;
  {
    Scanner first(line);
    first.skip_ws();
    if (first.peek() != '{' && !first.at_end()) {
      // A JSON value that is not an object, or no JSON at all.
      Type t;
      if (read_value(first, line, t, nullptr) && (first.skip_ws(), first.at_end())) {
        return problem("not a JSON object");
      }
      return problem("not well-formed JSON");
    }
  }
  if (any_layout || !read_service_layout(line, out, r)) {
    r = Reading();
    out.inputs = {};
    out.decision.input_error.reset();
    if (!read_members(line, out, r)) return problem("not well-formed JSON");
  }
  const auto is = [&](Member m, Type t) { return r.type[m] == t; };
  if (!is(kTime, Type::String) || !is_log_time(out.time)) {
    return problem("`time` is not an RFC 3339 UTC time with microseconds");
  }
  if (!is(kDecisionId, Type::String) || out.decision_id.empty()) {
    return problem("`decision_id` is not a non-empty string");
  }
  if (!is(kTemplateId, Type::String)) return problem("`template_id` is not a string");
  if (!is(kName, Type::String) && !is(kName, Type::Null)) {
    return problem("`name` is not a string or null");
  }
  if (is(kName, Type::Null)) out.name.reset();
  if (!is(kDecision, Type::String) || (r.decision != "pass" && r.decision != "fail")) {
    return problem("`decision` is not \"pass\" or \"fail\"");
  }
  const bool outcomes = is(kOutcomes, Type::Array);
  if (!outcomes) out.decision.outcomes.clear();
  if (!is(kInputError, Type::String)) out.decision.input_error.reset();
  if (outcomes == out.decision.input_error.has_value()) {
    return problem("not exactly one of `outcomes` and `input_error`");
  }
  out.decision.pass = r.decision == "pass";
  if (out.decision.pass && !(outcomes && out.decision.outcomes.empty())) {
    return problem("a pass with outcomes or an input error");
  }
  if (outcomes && !r.outcomes_ok) {
    return problem("`outcomes` holds an entry without `index`, `outcome` and `expression`");
  }
  if (!out.decision.pass && outcomes && out.decision.outcomes.empty()) {
    return problem("a fail without outcomes or an input error");
  }
  if (out.intent.has_value() != out.evidence.has_value()) {
    return problem("`intent` without `evidence`");
  }
  return ok_status<std::string>();
}

bool is_log_time(std::string_view t) {
  // 2026-12-09T16:34:15.123456Z
  static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
  if (t.size() != shape.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace verdane::decision_log
