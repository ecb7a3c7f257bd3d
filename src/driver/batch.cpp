#include "driver/batch.h"

#include <charconv>
#include <iterator>
#include <optional>
#include <vector>

#include "pipeline/line_pieces.h"
#include "pipeline/ordered.h"
#include "support/json_text.h"

namespace verdane::driver {

namespace {

// Whole lines of the input and, once decided, their output lines.
struct Window {
  pipeline::LinePiece lines;
  std::string output;
  bool all_passed = true;
};

bool blank(std::string_view line) {
  // A request starts with its brace: most lines are told by their first byte.
  if (!line.empty() && line[0] != ' ' && line[0] != '\t' && line[0] != '\r') return false;
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Decides every request of `window` and fills in its output.
void decide(const api::Template& tmpl, const api::EvalOptions& options, Window& window) {
  std::vector<std::string_view> requests;
  std::vector<std::uint64_t> numbers;
  std::string_view rest = window.lines.text;
  std::uint64_t number = window.lines.first_line;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!blank(line)) {
      requests.push_back(line);
      numbers.push_back(number);
    }
    ++number;
  }
  const auto results = api::evaluate_batch(tmpl, requests, options);
  for (std::size_t i = 0; i < results.size(); ++i) {
    append_batch_line(window.output, numbers[i], results[i]);
    if (!results[i] || !results[i]->pass) window.all_passed = false;
  }
}

// The requests file in windows of whole lines.
class Requests {
 public:
  Requests(ReadStream file, std::string path)
      : file_(std::move(file)), pieces_(file_), path_(std::move(path)) {}
  Requests(const Requests&) = delete;
  Requests& operator=(const Requests&) = delete;

  Result<std::optional<Window>, std::string> next() {
    auto piece = pieces_.next();
    if (!piece) {
      return make_err("failed to read requests `" + display_path(path_) + "`: " + piece.error());
    }
    if (!*piece) return std::optional<Window>();
    return std::optional<Window>(Window{std::move(**piece), {}, true});
  }

 private:
  ReadStream file_;
  pipeline::LinePieces<ReadStream> pieces_;
  std::string path_;
};

// Standard output, written window by window and pushed out whenever the
// pipeline waits, so answers leave as soon as they are decided.
struct Output {
  Stdout& out;
  bool all_passed = true;

  Result<bool, std::string> take(const Window& window) {
    out.write(window.output);
    all_passed = all_passed && window.all_passed;
    return true;
  }
  Status<std::string> idle() {
    auto flushed = out.flush();
    if (!flushed) return make_err("failed to write stdout: " + flushed.error());
    return ok_status<std::string>();
  }
};

}  // namespace

void append_batch_line(std::string& out, std::uint64_t line,
                       const api::Expected<api::Decision>& result) {
  char digits[24];
  const auto written = std::to_chars(std::begin(digits), std::end(digits), line);
  out += "{\"line\":";
  out.append(digits, written.ptr);
  if (result && result->pass) {
    // Most lines pass: their line is written without building the object.
    out += ",\"decision\":\"pass\"}\n";
    return;
  }
  if (result) {
    // The object's members follow the line's: its opening brace becomes
    // the comma between them.
    const std::size_t at = out.size();
    result->append_json(out);
    out[at] = ',';
  } else {
    out += ',';
    const api::Error& e = result.error();
    std::string problem = e.message;
    // A line holds no line feed, so only the column says where.
    if (e.kind == api::Error::Kind::Json && e.line > 0) {
      problem += " at column " + std::to_string(e.column);
    }
    out += "\"error\":";
    append_json_string(out, problem);
    out += '}';
  }
  out += '\n';
}

Result<int, std::string> run_batch(const api::Template& tmpl, const std::string& path,
                                   unsigned jobs, const api::EvalOptions& options, Stdout& out) {
  auto file = ReadStream::open(path);
  if (!file)
    return make_err("failed to read requests `" + display_path(path) + "`: " + file.error());
  Requests requests(std::move(file).value(), path);
  Output output{out};
  const auto decide_window = [&](Window& window) { decide(tmpl, options, window); };
  auto ran = pipeline::run_ordered<Window, std::string>(jobs, requests, decide_window, output);
  if (!ran) return make_err(std::move(ran).error());
  return output.all_passed ? 0 : 1;
}

}  // namespace verdane::driver
