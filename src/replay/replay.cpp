#include "replay/replay.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "decision_log/log_line.h"
#include "driver/io.h"
#include "support/json_text.h"

namespace verdane::replay {

namespace {

// A log is read this much at a time; a window of lines is what one read gives
// (or one longer line).
constexpr std::size_t kReadBytes = std::size_t{256} << 10;

// Whole lines of one log and, once replayed, what they gave.
struct Window {
  std::size_t log = 0;           // index into Options::logs
  std::uint64_t first_line = 1;  // number of the first line of `text`
  std::string text;              // whole lines, each ending in a line feed...
  bool torn = false;             // ...but the last, where the log ends inside it
  Summary summary;
  std::string changes;              // lines of the changes file
  std::string notes;                // skipped bad lines, for standard error
  std::optional<std::string> stop;  // the bad line that ends the run
  bool done = false;
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
      Window window;
      window.log = at_;
      window.first_line = line_;
      window.text = std::move(carry_);
      carry_.clear();
      for (;;) {
        const std::size_t had = window.text.size();
        window.text.resize(had + kReadBytes);
        auto n = files_[at_].read(window.text.data() + had, kReadBytes);
        if (!n) return make_err(failed((*paths_)[at_], n.error()));
        window.text.resize(had + *n);
        if (*n == 0) break;
        const std::size_t last = window.text.rfind('\n');
        if (last == std::string::npos) continue;  // a line longer than what was read so far
        carry_.assign(window.text, last + 1);
        window.text.resize(last + 1);
        count_lines(window.text);
        return std::optional<Window>(std::move(window));
      }
      // The log ended: what is left is its last line, if it has no line feed.
      ++at_;
      line_ = 1;
      if (!window.text.empty()) {
        window.torn = true;
        return std::optional<Window>(std::move(window));
      }
    }
    return std::optional<Window>();
  }

 private:
  LogReader() = default;

  static std::string failed(const std::string& path, const std::string& why) {
    return "failed to read decision log `" + driver::display_path(path) + "`: " + why;
  }

  // Line feeds are a few hundred bytes apart: memchr's wide steps cost a
  // tenth of a byte-by-byte count.
  void count_lines(std::string_view text) {
    const char* at = text.data();
    const char* const end = at + text.size();
    while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
      ++line_;
      at = static_cast<const char*>(found) + 1;
    }
  }

  const std::vector<std::string>* paths_ = nullptr;
  std::vector<driver::ReadStream> files_;
  std::size_t at_ = 0;
  std::string carry_;
  std::uint64_t line_ = 1;
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
  std::string_view rest = window.text;
  std::uint64_t number = window.first_line;
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

// Replays windows on `jobs` threads while this one reads and merges them in
// log order; at most two windows per thread are in flight.
class Pool {
 public:
  Pool(const api::Template& tmpl, const Options& options)
      : tmpl_(tmpl), options_(options), capacity_(2 * std::size_t{options.jobs}) {
    for (unsigned i = 0; i < options.jobs; ++i) threads_.emplace_back([this] { work(); });
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  Result<bool, std::string> run(LogReader& reader, Summary& summary, ChangesFile& changes,
                                const Note& note) {
    bool more = true;
    for (;;) {
      while (more && windows_.size() < capacity_) {
        auto window = reader.next();
        if (!window) return make_err(std::move(window).error());
        if (!*window) {
          more = false;
          break;
        }
        std::lock_guard lock(mutex_);
        windows_.push_back(std::make_unique<Window>(std::move(**window)));
        work_.notify_one();
      }
      if (windows_.empty()) return true;
      std::unique_ptr<Window> front;
      {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return windows_.front()->done; });
        front = std::move(windows_.front());
        windows_.pop_front();
        --taken_;
      }
      auto going = merge(*front, summary, changes, note);
      if (!going || !*going) return going;
    }
  }

 private:
  void work() {
    for (;;) {
      Window* window = nullptr;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [this] { return taken_ < windows_.size() || ended_; });
        if (ended_) return;
        window = windows_[taken_++].get();
      }
      replay_window(tmpl_, options_, *window);
      std::lock_guard lock(mutex_);
      window->done = true;
      done_.notify_all();
    }
  }

  const api::Template& tmpl_;
  const Options& options_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable work_;                 // a window to replay, or the end
  std::condition_variable done_;                 // a window replayed
  std::deque<std::unique_ptr<Window>> windows_;  // in log order
  std::size_t taken_ = 0;                        // leading windows given to threads
  bool ended_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

Result<std::optional<Summary>, std::string> replay_logs(const api::Template& tmpl,
                                                        const Options& options, const Note& note) {
  auto reader = LogReader::open(options.logs);
  if (!reader) return make_err(std::move(reader).error());
  ChangesFile changes;
  if (auto opened = changes.open(options.changes_path); !opened) return make_err(opened.error());
  Summary summary;
  Result<bool, std::string> completed = true;
  if (options.jobs <= 1) {
    for (;;) {
      auto window = reader->next();
      if (!window) return make_err(std::move(window).error());
      if (!*window) break;
      replay_window(tmpl, options, **window);
      completed = merge(**window, summary, changes, note);
      if (!completed || !*completed) break;
    }
  } else {
    Pool pool(tmpl, options);
    completed = pool.run(*reader, summary, changes, note);
  }
  if (!completed) return make_err(std::move(completed).error());
  if (auto closed = changes.close(); !closed) return make_err(closed.error());
  if (!*completed) return std::optional<Summary>();
  return std::optional<Summary>(std::move(summary));
}

}  // namespace verdane::replay
