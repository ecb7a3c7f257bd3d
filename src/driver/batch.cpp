#include "driver/batch.h"

#include <cstring>
#include <optional>

#include "api/batch_lines.h"
#include "pipeline/line_pieces.h"
#include "pipeline/ordered.h"

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
  api::BatchLines lines(tmpl, options);
  const std::string_view text = window.lines.text.view();
  const char* at = text.data();
  const char* const end = at + text.size();
  std::uint64_t number = window.lines.first_line;
  while (at != end) {
    const char* feed =
        static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    const char* const next = feed ? feed + 1 : end;
    std::string_view line(at, static_cast<std::size_t>((feed ? feed : end) - at));
    at = next;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!blank(line) && !lines.decide(number, line, window.output)) window.all_passed = false;
    ++number;
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
  api::append_batch_line(out, line, result);
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
