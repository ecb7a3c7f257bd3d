#include "decision_log/log_line.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <array>
#include <charconv>
#include <vector>

namespace verdane::decision_log {

namespace {

// The top-level members read; the rest are passed over.
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

// The members of one outcome.
enum Field : int { kNoField = -1, kIndex, kKind, kExpression, kReason, kFields };
constexpr std::array<std::string_view, kFields> kFieldNames{"index", "outcome", "expression",
                                                            "reason"};

enum class Type : std::uint8_t { Absent, String, Null, Array, Object, Other };

// Reads the line in one pass; remembers where the documents' texts lie so
// they are handed on as written (numbers exactly, no copy).
struct Reading {
  Reading(const rapidjson::MemoryStream& stream, std::string_view text) : in(stream), line(text) {}

  const rapidjson::MemoryStream& in;
  std::string_view line;
  int depth = 0;
  bool root_object = false;
  std::size_t member = kOther;
  std::array<Type, kMembers> type{};
  std::array<std::string, kMembers> text{};
  std::size_t value_from = 0;  // where the member's value starts (before `:`)
  std::array<std::optional<std::string_view>, 2> documents;  // intent, evidence
  std::vector<api::Outcome> outcomes;
  bool outcomes_ok = true;
  int field = kNoField;
  std::array<bool, kFields> have{};

  void document_ended() {
    if (member != kIntent && member != kEvidence) return;
    std::string_view value = line.substr(value_from, in.Tell() - value_from);
    value.remove_prefix(value.find_first_not_of(" \t\r\n:"));
    documents[member == kIntent ? 0 : 1] = value;
  }

  void outcome_value(Type t, std::string_view s) {
    api::Outcome& o = outcomes.back();
    switch (field) {
      case kIndex: {
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), o.index);
        if (t != Type::Other || ec != std::errc() || end != s.data() + s.size()) return;
        break;
      }
      case kKind:
        if (t != Type::String || (s != "failed" && s != "errored")) return;
        o.kind = s == "failed" ? api::Outcome::Kind::Failed : api::Outcome::Kind::Errored;
        break;
      case kExpression:
      case kReason:
        if (t != Type::String) return;
        (field == kExpression ? o.expression : o.reason) = s;
        break;
      default:
        return;
    }
    have[static_cast<std::size_t>(field)] = true;
  }

  bool scalar(Type t, std::string_view s = {}) {
    if (depth == 1) {
      type[member] = t;
      if (t == Type::String) text[member] = s;
      document_ended();
    } else if (depth == 3 && member == kOutcomes && field != kNoField) {
      outcome_value(t, s);
    } else if (depth == 2 && member == kOutcomes) {
      outcomes_ok = false;  // an element that is not an object
    }
    return true;
  }

  bool Null() { return scalar(Type::Null); }
  bool Bool(bool) { return scalar(Type::Other); }
  // Numbers arrive as RawNumber; these are never called.
  bool Int(int) { return scalar(Type::Other); }
  bool Uint(unsigned) { return scalar(Type::Other); }
  bool Int64(int64_t) { return scalar(Type::Other); }
  bool Uint64(uint64_t) { return scalar(Type::Other); }
  bool Double(double) { return scalar(Type::Other); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) { return scalar(Type::Other, {s, n}); }
  bool String(const char* s, rapidjson::SizeType n, bool) { return scalar(Type::String, {s, n}); }

  bool Key(const char* s, rapidjson::SizeType n, bool) {
    const std::string_view key(s, n);
    if (depth == 1) {
      member = kOther;
      for (std::size_t m = 1; m < kMembers; ++m) {
        if (kMemberNames[m] == key) member = m;
      }
      value_from = in.Tell();
    } else if (depth == 3 && member == kOutcomes) {
      field = kNoField;
      for (int f = 0; f < kFields; ++f) {
        if (kFieldNames[static_cast<std::size_t>(f)] == key) field = f;
      }
    }
    return true;
  }

  bool StartObject() {
    if (depth == 0) root_object = true;
    if (depth == 1) type[member] = Type::Object;
    if (depth == 2 && member == kOutcomes) {
      outcomes.emplace_back();
      have = {};
    }
    ++depth;
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    --depth;
    if (depth == 1) document_ended();
    if (depth == 2 && member == kOutcomes && !(have[kIndex] && have[kKind] && have[kExpression])) {
      outcomes_ok = false;
    }
    return true;
  }
  bool StartArray() {
    if (depth == 1) type[member] = Type::Array;
    if (depth == 2 && member == kOutcomes) outcomes_ok = false;
    ++depth;
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    --depth;
    if (depth == 1) document_ended();
    return true;
  }
};

bool is_time(std::string_view t) {
  // 2026-12-09T16:34:15.123456Z
  static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd.ddddddZ";
  if (t.size() != shape.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (shape[i] == 'd' ? (t[i] < '0' || t[i] > '9') : t[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace

Result<LogLine, std::string> read_log_line(std::string_view line) {
  rapidjson::MemoryStream in(line.data(), line.size());
  Reading r(in, line);
  rapidjson::Reader reader;
  constexpr unsigned flags =
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;
  if (reader.Parse<flags>(in, r).IsError()) return make_err(std::string("not well-formed JSON"));
  if (!r.root_object) return make_err(std::string("not a JSON object"));
  const auto is = [&](Member m, Type t) { return r.type[m] == t; };
  if (!is(kTime, Type::String) || !is_time(r.text[kTime])) {
    return make_err(std::string("`time` is not an RFC 3339 UTC time with microseconds"));
  }
  if (!is(kDecisionId, Type::String) || r.text[kDecisionId].empty()) {
    return make_err(std::string("`decision_id` is not a non-empty string"));
  }
  if (!is(kTemplateId, Type::String)) return make_err(std::string("`template_id` is not a string"));
  if (!is(kName, Type::String) && !is(kName, Type::Null)) {
    return make_err(std::string("`name` is not a string or null"));
  }
  const std::string& decision = r.text[kDecision];
  if (!is(kDecision, Type::String) || (decision != "pass" && decision != "fail")) {
    return make_err(std::string("`decision` is not \"pass\" or \"fail\""));
  }
  const bool outcomes = is(kOutcomes, Type::Array);
  if (outcomes == is(kInputError, Type::String)) {
    return make_err(std::string("not exactly one of `outcomes` and `input_error`"));
  }
  if (decision == "pass" && !(outcomes && r.outcomes.empty())) {
    return make_err(std::string("a pass with outcomes or an input error"));
  }
  if (outcomes && !r.outcomes_ok) {
    return make_err(
        std::string("`outcomes` holds an entry without `index`, `outcome` and "
                    "`expression`"));
  }
  if (decision == "fail" && outcomes && r.outcomes.empty()) {
    return make_err(std::string("a fail without outcomes or an input error"));
  }
  if (r.documents[0].has_value() != r.documents[1].has_value()) {
    return make_err(std::string("`intent` without `evidence`"));
  }
  LogLine out;
  out.time = std::move(r.text[kTime]);
  out.decision_id = std::move(r.text[kDecisionId]);
  out.template_id = std::move(r.text[kTemplateId]);
  if (is(kName, Type::String)) out.name = std::move(r.text[kName]);
  out.decision.pass = decision == "pass";
  if (!outcomes) out.decision.input_error = std::move(r.text[kInputError]);
  out.decision.outcomes = std::move(r.outcomes);
  out.intent = r.documents[0];
  out.evidence = r.documents[1];
  return out;
}

}  // namespace verdane::decision_log
