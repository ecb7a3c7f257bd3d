#include "api/batch_lines.h"

#include <charconv>
#include <iterator>

#include "support/json_text.h"

namespace verdane::api {

void append_outcome_head(std::string& out, Outcome::Kind kind, std::size_t index,
                         std::string_view expression) {
  out += "{\"index\":";
  out += std::to_string(index);
  out += kind == Outcome::Kind::Failed ? ",\"outcome\":\"failed\"" : ",\"outcome\":\"errored\"";
  out += ",\"expression\":";
  append_json_string(out, expression);
  out += ",\"reason\":";
}

std::string OutcomeObjects::build(Outcome::Kind kind, std::size_t index,
                                  std::string_view expression, std::string_view reason) {
  std::string object;
  append_outcome_head(object, kind, index, expression);
  if (kind == Outcome::Kind::Failed) finish(object, reason);
  return object;
}

void OutcomeObjects::finish(std::string& out, std::string_view reason) {
  append_json_string(out, reason);
  out += '}';
}

namespace {

constexpr std::string_view kStart = R"({"line":)";
constexpr std::string_view kPass = ",\"decision\":\"pass\"}\n";

}  // namespace

void append_line_start(std::string& out, std::uint64_t line) {
  char text[kStart.size() + 20];
  kStart.copy(text, kStart.size());
  const auto written = std::to_chars(text + kStart.size(), std::end(text), line);
  out.append(text, written.ptr);
}

void append_pass_line(std::string& out, std::uint64_t line) {
  // Most lines pass: each is one append.
  char text[kStart.size() + 20 + kPass.size()];
  kStart.copy(text, kStart.size());
  char* end = std::to_chars(text + kStart.size(), std::end(text), line).ptr;
  end += kPass.copy(end, kPass.size());
  out.append(text, end);
}

void append_batch_line(std::string& out, std::uint64_t line, const Expected<Decision>& result) {
  if (result && result->pass) {
    append_pass_line(out, line);
    return;
  }
  append_line_start(out, line);
  if (result) {
    // The object's members follow the line's: its opening brace becomes
    // the comma between them.
    const std::size_t at = out.size();
    result->append_json(out);
    out[at] = ',';
  } else {
    out += ',';
    const Error& e = result.error();
    std::string problem = e.message;
    // A line holds no line feed, so only the column says where.
    if (e.kind == Error::Kind::Json && e.line > 0) {
      problem += " at column " + std::to_string(e.column);
    }
    out += "\"error\":";
    append_json_string(out, problem);
    out += '}';
  }
  out += '\n';
}

}  // namespace verdane::api
