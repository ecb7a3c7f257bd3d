#include "serve/log_verify.h"

#include <rapidjson/document.h>

#include <fstream>
#include <iterator>
#include <string_view>
#include <unordered_set>

#include "decision_log/log_line.h"

namespace verdane::serve {

namespace {

// What is wrong with the shape of one line's object; "" when nothing.
std::string shape_problem(const rapidjson::Document& d) {
  if (!d.IsObject()) return "not a JSON object";
  const auto str = [&](const char* k) { return d.HasMember(k) && d[k].IsString(); };
  if (!str("time") || !decision_log::is_log_time(d["time"].GetString())) {
    return "`time` is not an RFC 3339 UTC time with microseconds";
  }
  if (!str("decision_id") || d["decision_id"].GetStringLength() == 0) {
    return "`decision_id` is not a non-empty string";
  }
  if (!str("template_id")) return "`template_id` is not a string";
  if (!d.HasMember("name") || !(d["name"].IsString() || d["name"].IsNull())) {
    return "`name` is not a string or null";
  }
  if (!str("decision")) return "`decision` is not \"pass\" or \"fail\"";
  const std::string_view decision = d["decision"].GetString();
  if (decision != "pass" && decision != "fail") return "`decision` is not \"pass\" or \"fail\"";
  const bool outcomes = d.HasMember("outcomes") && d["outcomes"].IsArray();
  if (outcomes == str("input_error")) return "not exactly one of `outcomes` and `input_error`";
  if (decision == "pass" && !(outcomes && d["outcomes"].Empty())) {
    return "a pass with outcomes or an input error";
  }
  if (d.HasMember("intent") != d.HasMember("evidence")) return "`intent` without `evidence`";
  // The documents are logged as the client sent them: one that is not an
  // object was decided (as an input error) and is logged like any other.
  return {};
}

}  // namespace

int verify_logs(const std::vector<std::string>& paths, std::string& out) {
  std::size_t lines = 0, problems = 0;
  std::unordered_set<std::string> ids;
  for (const std::string& path : paths) {
    const auto problem = [&](std::size_t line, const std::string& what) {
      ++problems;
      out += path + ":" + std::to_string(line) + ": " + what + "\n";
    };
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      ++problems;
      out += path + ": cannot be read\n";
      continue;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string last_time;
    std::size_t at = 0, number = 0;
    while (at < text.size()) {
      ++number;
      ++lines;
      const std::size_t end = text.find('\n', at);
      if (end == std::string::npos) {
        problem(number, "incomplete last line (no line feed)");
        break;
      }
      const std::string_view line(text.data() + at, end - at);
      at = end + 1;
      rapidjson::Document d;
      d.Parse(line.data(), line.size());
      if (d.HasParseError()) {
        problem(number, "not well-formed JSON");
        continue;
      }
      if (std::string why = shape_problem(d); !why.empty()) {
        problem(number, why);
        continue;
      }
      const std::string id = d["decision_id"].GetString();
      if (!ids.insert(id).second) problem(number, "decision_id `" + id + "` seen before");
      const std::string time = d["time"].GetString();
      if (time < last_time) problem(number, "time goes backwards");
      last_time = time;
    }
  }
  out += std::to_string(lines) + " lines, " + std::to_string(problems) + " problems\n";
  return problems == 0 ? 0 : 1;
}

int log_command(int argc, const char* const* argv, std::string& out, std::string& err) {
  static constexpr const char* usage =
      "Usage: verdane log verify <FILE>...\n"
      "\n"
      "Check decision log files: complete lines of the log's JSON shape, unique decision ids,\n"
      "times that do not go backwards. Prints one line per problem, then `N lines, M problems`.\n";
  // argv: [program, "log", "verify", FILE...]
  if (argc >= 3 && (std::string_view(argv[2]) == "-h" || std::string_view(argv[2]) == "--help")) {
    out = usage;
    return 0;
  }
  if (argc < 4 || std::string_view(argv[2]) != "verify") {
    err = std::string("error: expected `verdane log verify <FILE>...`\n\n") + usage;
    return 2;
  }
  return verify_logs(std::vector<std::string>(argv + 3, argv + argc), out);
}

}  // namespace verdane::serve
