#include "replay/replay.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "decision_log/log_line.h"
#include "driver/io.h"
#include "pipeline/line_pieces.h"
#include "pipeline/ordered.h"
#include "support/json_text.h"

namespace verdane::replay {

namespace {

// Whole lines of one log and, once replayed, what they gave.
struct Window {
  std::size_t log = 0;  // index into Options::logs
  pipeline::LinePiece lines;
  Summary summary;
  std::string changes;              // lines of the changes file
  std::string notes;                // skipped bad lines, for standard error
  std::optional<std::string> stop;  // the bad line that ends the run
};

// Cuts the logs, one after the other, into windows of whole lines.
class LogReader {
 public:
  static Result<LogReader, std::string> open(const std::vector<std::string>& paths) {
    LogReader reader;
    for (const std::string& path : paths) {
      auto file = driver::ReadStream::open(path);
      if (!file) return make_err(failed(path, file.error()));
      reader.files_.push_back(std::move(file).value());
    }
    reader.paths_ = &paths;
    return reader;
  }

  // The next window; nullopt after the last log.
  Result<std::optional<Window>, std::string> next() {
    while (at_ < files_.size()) {
      if (!pieces_) pieces_.emplace(files_[at_]);
      auto piece = pieces_->next();
      if (!piece) return make_err(failed((*paths_)[at_], piece.error()));
      if (*piece) return std::optional<Window>(Window{at_, std::move(**piece), {}, {}, {}, {}});
      pieces_.reset();
      ++at_;
    }
    return std::optional<Window>();
  }

 private:
  LogReader() = default;

  static std::string failed(const std::string& path, const std::string& why) {
    return "failed to read decision log `" + driver::display_path(path) + "`: " + why;
  }

  const std::vector<std::string>* paths_ = nullptr;
  std::vector<driver::ReadStream> files_;  // not resized once open: pieces_ refers into it
  std::size_t at_ = 0;
  std::optional<pipeline::LinePieces<driver::ReadStream>> pieces_;  // of files_[at_]
};

// Decides one logged request again; false when the line is not what the
// service writes and the run stops there. `line` and `request` are reused
// from line to line.
bool replay_line(const api::Template& tmpl, const Options& options, std::uint64_t number,
                 std::string_view text, decision_log::LogLine& line, std::string& request,
                 Window& window) {
  const auto bad = [&](const std::string& why) {
    const std::string place =
        driver::display_path(options.logs[window.log]) + ":" + std::to_string(number) + ": ";
    if (!options.skip_bad_lines) {
      window.stop = place + why + "\n";
      return false;
    }
    ++window.summary.skipped[static_cast<std::size_t>(Skip::BadLine)];
    window.notes += place + why + " (skipped)\n";
    return true;
  };
  if (auto read = decision_log::read_log_line(text, line); !read) return bad(read.error());
  if (options.only && line.template_id != *options.only) {
    ++window.summary.skipped[static_cast<std::size_t>(Skip::OtherTemplate)];
    return true;
  }
  if (!line.has_inputs()) {
    ++window.summary.skipped[static_cast<std::size_t>(Skip::InputsOmitted)];
    return true;
  }
  // The request again as the service read it: one text, decided in one pass
  // (the path `eval --batch` takes).
  auto decided = api::Expected<api::Decision>(api::Error{});
  if (!line.inputs.empty()) {
    request.clear();
    request += '{';
    request += line.inputs;
    decided = api::evaluate_request(tmpl, request);
    // Not a request as it stands (more members after the documents, say):
    // the line is read again, its documents taken out one by one.
    if (!decided) {
      if (auto read = decision_log::read_log_line(text, line, true); !read) {
        return bad(read.error());
      }
    }
  }
  if (line.intent) {
    request.assign("{\"intent\":").append(*line.intent).append(",\"evidence\":");
    request.append(*line.evidence) += '}';
    decided = api::evaluate_request(tmpl, request);
  }
  if (!decided) return bad("`intent` or `evidence` is not JSON: " + decided.error().message);
  const api::Decision& now = *decided;
  const Change change = compare(line.decision, now);
  window.summary.count(change, line.decision_id);
  if (change != Change::Unchanged && options.changes_path) {
    std::string& out = window.changes;
    out += "{\"decision_id\":";
    append_json_string(out, line.decision_id);
    out += ",\"time\":";
    append_json_string(out, line.time);
    out += ",\"old\":";
    line.decision.append_json(out);
    out += ",\"new\":";
    now.append_json(out);
    out += "}\n";
  }
  return true;
}

void replay_window(const api::Template& tmpl, const Options& options, Window& window) {
  decision_log::LogLine line;
  std::string request;
  std::string_view rest = window.lines.text;
  std::uint64_t number = window.lines.first_line;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view text = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    ++window.summary.lines;
    if (end == std::string_view::npos) {
      // An interrupted write: its answer never left the service.
      ++window.summary.skipped[static_cast<std::size_t>(Skip::IncompleteLastLine)];
    } else if (!replay_line(tmpl, options, number, text, line, request, window)) {
      return;
    }
    ++number;
  }
}

// Writes the changes file as the windows come, in log order.
class ChangesFile {
 public:
  ChangesFile() = default;
  ChangesFile(const ChangesFile&) = delete;
  ChangesFile& operator=(const ChangesFile&) = delete;
  ~ChangesFile() {
    if (file_) std::fclose(file_);
  }

  Status<std::string> open(const std::optional<std::string>& path) {
    if (!path) return ok_status<std::string>();
    path_ = *path;
    file_ = std::fopen(path->c_str(), "wb");
    if (!file_) return make_err(failed(errno));
    return ok_status<std::string>();
  }
  Status<std::string> write(std::string_view text) {
    if (!file_ || text.empty()) return ok_status<std::string>();
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
      return make_err(failed(errno));
    return ok_status<std::string>();
  }
  Status<std::string> close() {
    if (!file_) return ok_status<std::string>();
    const int status = std::fclose(file_);
    file_ = nullptr;
    if (status != 0) return make_err(failed(errno));
    return ok_status<std::string>();
  }

 private:
  std::string failed(int errnum) const {
    return "failed to write changes `" + driver::display_path(path_) +
           "`: " + driver::os_error_text(errnum);
  }
  std::string path_;
  std::FILE* file_ = nullptr;
};

// Folds one replayed window into the run; false when the run stops here.
Result<bool, std::string> merge(Window& window, Summary& summary, ChangesFile& changes,
                                const Note& note) {
  if (!window.notes.empty()) note(window.notes);
  summary.add(window.summary);
  if (auto written = changes.write(window.changes); !written) return make_err(written.error());
  if (window.stop) {
    note(*window.stop);
    return false;
  }
  return true;
}

// The run's side of the windows, in log order: the summary, the changes
// file and the notes.
struct Merge {
  Summary& summary;
  ChangesFile& changes;
  const Note& note;

  Result<bool, std::string> take(Window& window) { return merge(window, summary, changes, note); }
  Status<std::string> idle() { return ok_status<std::string>(); }
};

}  // namespace

Result<std::optional<Summary>, std::string> replay_logs(const api::Template& tmpl,
                                                        const Options& options, const Note& note) {
  auto reader = LogReader::open(options.logs);
  if (!reader) return make_err(std::move(reader).error());
  ChangesFile changes;
  if (auto opened = changes.open(options.changes_path); !opened) return make_err(opened.error());
  Summary summary;
  Merge merging{summary, changes, note};
  const auto replay = [&](Window& window) { replay_window(tmpl, options, window); };
  auto ran = pipeline::run_ordered<Window, std::string>(options.jobs, *reader, replay, merging);
  if (!ran) return make_err(std::move(ran).error());
  if (auto closed = changes.close(); !closed) return make_err(closed.error());
  if (*ran == pipeline::Ended::Sink) return std::optional<Summary>();
  return std::optional<Summary>(std::move(summary));
}

}  // namespace verdane::replay
