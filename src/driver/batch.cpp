#include "driver/batch.h"

#include <charconv>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "support/json_text.h"

namespace verdane::driver {

namespace {

// Input is read this much at a time; a window of lines is what one read
// gives, so it holds about this much text (or one longer line).
constexpr std::size_t kReadBytes = std::size_t{256} << 10;

// Whole lines of the input and, once decided, their output lines.
struct Window {
  std::uint64_t first_line = 1;  // number of the first line of `text`
  std::string text;              // whole lines; the last may lack its line feed
  std::string output;
  bool all_passed = true;
  bool done = false;  // decided (for the threads)
};

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Decides every request of `window` and fills in its output.
void decide(const api::Template& tmpl, const api::EvalOptions& options, Window& window) {
  std::vector<std::string_view> requests;
  std::vector<std::uint64_t> numbers;
  std::string_view rest = window.text;
  std::uint64_t number = window.first_line;
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

// Cuts the input into windows of whole lines.
class LineReader {
 public:
  LineReader(ReadStream file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

  // The next window; nullopt at the end of the input.
  Result<std::optional<Window>, std::string> next() {
    if (ended_) return std::optional<Window>();
    Window window;
    window.first_line = line_;
    window.text = std::move(carry_);
    carry_.clear();
    for (;;) {
      const std::size_t had = window.text.size();
      window.text.resize(had + kReadBytes);
      auto n = file_.read(window.text.data() + had, kReadBytes);
      if (!n)
        return make_err("failed to read requests `" + display_path(path_) + "`: " + n.error());
      window.text.resize(had + *n);
      if (*n == 0) {
        ended_ = true;
        if (window.text.empty()) return std::optional<Window>();
        count_lines(window.text);
        return std::optional<Window>(std::move(window));
      }
      // The carried start of a line holds no line feed, so none found means
      // that no line has ended yet: a line longer than what was read so far.
      const std::size_t last = window.text.rfind('\n');
      if (last == std::string::npos) continue;
      carry_.assign(window.text, last + 1);
      window.text.resize(last + 1);
      count_lines(window.text);
      return std::optional<Window>(std::move(window));
    }
  }

 private:
  void count_lines(std::string_view text) {
    for (std::size_t at = text.find('\n'); at != std::string_view::npos;
         at = text.find('\n', at + 1)) {
      ++line_;
    }
    if (!text.empty() && text.back() != '\n') ++line_;
  }

  ReadStream file_;
  std::string path_;
  std::string carry_;  // the start of a line not yet ended
  std::uint64_t line_ = 1;
  bool ended_ = false;
};

Result<int, std::string> finished(Stdout& out, bool all_passed) {
  auto flushed = out.flush();
  if (!flushed) return make_err("failed to write stdout: " + flushed.error());
  return all_passed ? 0 : 1;
}

// One thread: read, decide, write, in turn.
Result<int, std::string> run_alone(const api::Template& tmpl, const api::EvalOptions& options,
                                   LineReader& reader, Stdout& out) {
  bool all_passed = true;
  for (;;) {
    // Everything decided so far goes out before the input is waited for.
    if (auto flushed = out.flush(); !flushed) {
      return make_err("failed to write stdout: " + flushed.error());
    }
    auto window = reader.next();
    if (!window) {
      (void)out.flush();
      return make_err(std::move(window).error());
    }
    if (!*window) break;
    decide(tmpl, options, **window);
    out.write((*window)->output);
    all_passed = all_passed && (*window)->all_passed;
  }
  return finished(out, all_passed);
}

// Several threads: this one reads windows and queues them, `jobs` workers
// decide them in any order, and a writer writes them in input order. At most
// two windows per worker are in flight, which bounds the memory.
class Pipeline {
 public:
  Pipeline(const api::Template& tmpl, const api::EvalOptions& options, unsigned jobs, Stdout& out)
      : tmpl_(tmpl), options_(options), out_(out), capacity_(2 * static_cast<std::size_t>(jobs)) {
    for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
    writer_ = std::thread([this] { write(); });
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  Result<int, std::string> run(LineReader& reader) {
    std::optional<std::string> read_error;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [this] { return windows_.size() < capacity_ || stopped_; });
        if (stopped_) break;
      }
      auto window = reader.next();
      if (!window) {
        read_error = std::move(window).error();
        break;
      }
      if (!*window) break;
      std::lock_guard lock(mutex_);
      windows_.push_back(std::make_unique<Window>(std::move(**window)));
      work_.notify_one();
    }
    {
      std::lock_guard lock(mutex_);
      input_ended_ = true;
    }
    work_.notify_all();
    done_.notify_all();
    for (std::thread& t : workers_) t.join();
    writer_.join();
    if (write_error_) return make_err("failed to write stdout: " + *write_error_);
    if (read_error) return make_err(std::move(*read_error));
    return all_passed_ ? 0 : 1;
  }

 private:
  void work() {
    for (;;) {
      Window* window = nullptr;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [this] { return taken_ < windows_.size() || input_ended_; });
        if (taken_ == windows_.size()) return;
        window = windows_[taken_++].get();
      }
      decide(tmpl_, options_, *window);
      std::lock_guard lock(mutex_);
      window->done = true;
      done_.notify_all();
    }
  }

  void write() {
    for (;;) {
      std::unique_ptr<Window> window;
      {
        std::unique_lock lock(mutex_);
        if (windows_.empty() || !windows_.front()->done) {
          // Nothing to write yet: what was written goes out before waiting.
          lock.unlock();
          flush();
          lock.lock();
        }
        done_.wait(lock, [this] {
          return (!windows_.empty() && windows_.front()->done) ||
                 (input_ended_ && windows_.empty());
        });
        if (windows_.empty()) break;
        window = std::move(windows_.front());
        windows_.pop_front();
        --taken_;
        all_passed_ = all_passed_ && window->all_passed;
        space_.notify_one();
      }
      if (!write_error_) out_.write(window->output);
    }
    flush();
  }

  // Only the writer thread touches out_ while the pipeline runs.
  void flush() {
    if (write_error_) return;
    auto flushed = out_.flush();
    if (flushed) return;
    write_error_ = flushed.error();
    std::lock_guard lock(mutex_);
    stopped_ = true;
    space_.notify_all();
  }

  const api::Template& tmpl_;
  const api::EvalOptions options_;
  Stdout& out_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable work_;                 // a window to decide, or the end
  std::condition_variable done_;                 // a window decided, or the end
  std::condition_variable space_;                // room for another window, or a stop
  std::deque<std::unique_ptr<Window>> windows_;  // in input order
  std::size_t taken_ = 0;                        // leading windows given to workers
  bool input_ended_ = false;
  bool stopped_ = false;  // writing failed: read no further
  bool all_passed_ = true;
  std::optional<std::string> write_error_;  // the writer's only
  std::vector<std::thread> workers_;
  std::thread writer_;
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
  LineReader reader(std::move(file).value(), path);
  if (jobs <= 1) return run_alone(tmpl, options, reader, out);
  Pipeline pipeline(tmpl, options, jobs, out);
  return pipeline.run(reader);
}

}  // namespace verdane::driver
