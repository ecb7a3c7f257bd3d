// The decision log's line reader on any line, against RapidJSON: a line the
// reader takes must be JSON whose members say what the reader read, and a
// line it calls malformed must not be JSON.
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "decision_log/log_line.h"

namespace {

std::string_view text(const rapidjson::Value& v) { return {v.GetString(), v.GetStringLength()}; }

// Whether an object names a member twice: RapidJSON finds the first, the
// reader keeps the last, as JSON documents here do.
bool repeats_a_member(const rapidjson::Value& object) {
  std::set<std::string_view> keys;
  for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m) {
    if (!keys.insert(text(m->name)).second) return true;
  }
  return false;
}

void check(bool ok) {
  if (!ok) std::abort();
}

// Deeper than the reader's limit, where the two may differ on purpose.
bool too_deep(std::string_view s) {
  int depth = 0;
  for (char c : s) {
    depth += c == '{' || c == '[';
    if (depth > 4000) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  if (too_deep(line)) return 0;
  verdane::decision_log::LogLine read;
  const auto result = verdane::decision_log::read_log_line(line, read);
  rapidjson::Document d;
  const std::string copy(line);
  d.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag>(
      copy.data(), copy.size());
  if (!result) {
    // Only for ASCII text: RapidJSON takes a NUL byte for the end of the text
    // and lets some bytes past 0x7F through outside strings.
    bool ascii = true;
    for (const char c : line) ascii = ascii && c != '\0' && static_cast<unsigned char>(c) < 0x80;
    // Nor where \u escapes are: RapidJSON lets a lone low surrogate through.
    ascii = ascii && line.find("\\u") == std::string_view::npos;
    if (result.error() == "not well-formed JSON" && ascii) check(d.HasParseError());
    return 0;
  }
  // The documents are only delimited by the reader; the rest must be JSON.
  if (d.HasParseError()) return 0;
  check(d.IsObject());
  if (repeats_a_member(d)) return 0;
  check(text(d["time"]) == read.time);
  check(text(d["decision_id"]) == read.decision_id);
  check(text(d["template_id"]) == read.template_id);
  check(d["name"].IsNull() ? !read.name : *read.name == text(d["name"]));
  check((text(d["decision"]) == "pass") == read.decision.pass);
  if (d.HasMember("input_error")) {
    check(read.decision.input_error == std::string(text(d["input_error"])));
  } else {
    const auto& outcomes = d["outcomes"];
    check(outcomes.Size() == read.decision.outcomes.size());
    for (rapidjson::SizeType i = 0; i < outcomes.Size(); ++i) {
      if (repeats_a_member(outcomes[i])) return 0;
    }
    for (rapidjson::SizeType i = 0; i < outcomes.Size(); ++i) {
      const auto& o = read.decision.outcomes[i];
      check(text(outcomes[i]["expression"]) == o.expression);
      check(std::to_string(o.index) == text(outcomes[i]["index"]));
      check((text(outcomes[i]["outcome"]) == "failed") ==
            (o.kind == verdane::api::Outcome::Kind::Failed));
    }
  }
  check(d.HasMember("intent") == read.has_inputs());
  // The documents of a line in the service's layout are the rest of the line.
  if (!read.inputs.empty()) check(line.ends_with(read.inputs));
  // Read in any layout, the line says the same.
  // (Undelimited documents are not checked: an evidence missing after the
  // intent is found only when they are decided, and then by this reading.)
  verdane::decision_log::LogLine again;
  const auto reread = verdane::decision_log::read_log_line(line, again, true);
  if (!reread && !read.inputs.empty() && reread.error() == "`intent` without `evidence`") return 0;
  check(bool(reread));
  check(again.decision == read.decision && again.decision_id == read.decision_id &&
        again.time == read.time && again.name == read.name && again.inputs.empty() &&
        again.intent.has_value() == read.has_inputs());
  return 0;
}
