#include "serve/decision_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>

#include "serve/decision_line.h"

namespace verdane::serve {

namespace {

std::string os_error(int e) { return std::strerror(e); }

// Cuts what follows the last line feed of the file (a line a kill cut
// short); how many bytes went, or the error.
Result<std::uint64_t, std::string> cut_incomplete_line(int fd, std::uint64_t size) {
  std::uint64_t end = size;
  char piece[4096];
  while (end > 0) {
    const std::uint64_t start = end > sizeof piece ? end - sizeof piece : 0;
    const ssize_t n = ::pread(fd, piece, end - start, static_cast<off_t>(start));
    if (n != static_cast<ssize_t>(end - start))
      return make_err("reading failed: " + os_error(errno));
    std::size_t i = static_cast<std::size_t>(n);
    while (i > 0 && piece[i - 1] != '\n') --i;
    if (i > 0) {
      end = start + i;
      break;
    }
    end = start;
  }
  if (end == size) return std::uint64_t{0};
  if (::ftruncate(fd, static_cast<off_t>(end)) != 0 || ::fsync(fd) != 0) {
    return make_err("truncating failed: " + os_error(errno));
  }
  return size - end;
}

std::string make_prefix() {
  // The start time and a random part: ids stay unique across restarts.
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  std::random_device random;
  char text[40];
  std::snprintf(text, sizeof text, "%013llx%04x-", static_cast<unsigned long long>(us),
                static_cast<unsigned>(random() & 0xffff));
  return text;
}

}  // namespace

Result<std::unique_ptr<DecisionLog>, std::string> DecisionLog::open(DecisionLogOptions options) {
  const std::string what = "cannot open the decision log `" + options.path + "`: ";
  const int fd = ::open(options.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return make_err(what + os_error(errno));
  // pread needs a readable descriptor; the writes go through the append one.
  const int rfd = ::open(options.path.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st {};
  if (rfd < 0 || ::fstat(rfd, &st) != 0) {
    const std::string e = os_error(errno);
    ::close(fd);
    if (rfd >= 0) ::close(rfd);
    return make_err(what + e);
  }
  auto cut = cut_incomplete_line(rfd, static_cast<std::uint64_t>(st.st_size));
  ::close(rfd);
  if (!cut) {
    ::close(fd);
    return make_err(what + cut.error());
  }
  if (*cut > 0) {
    std::cerr << "decision log `" << options.path << "`: removed an incomplete last line of "
              << *cut << " bytes (an interrupted write)" << std::endl;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size) - *cut;
  return std::unique_ptr<DecisionLog>(new DecisionLog(std::move(options), fd, size));
}

DecisionLog::DecisionLog(DecisionLogOptions options, int fd, std::uint64_t size)
    : options_(std::move(options)), fd_(fd), size_(size), id_prefix_(make_prefix()) {
  writer_ = std::thread([this] { run(); });
}

DecisionLog::~DecisionLog() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
  if (fd_ >= 0) ::close(fd_);
}

std::string DecisionLog::next_id() {
  return id_prefix_ + std::to_string(next_id_.fetch_add(1, std::memory_order_relaxed));
}

DecisionLog::Admit DecisionLog::admit() {
  std::lock_guard lock(mutex_);
  if (!failure_.empty()) {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_probe_) {
      ++refused_failing_;
      return Admit::Failing;
    }
    next_probe_ = now + std::chrono::milliseconds(100);
    return Admit::Yes;
  }
  return queued_lines_ >= options_.queue ? Admit::Full : Admit::Yes;
}

Result<std::uint64_t, std::string> DecisionLog::record(const DecisionEvent& event) {
  std::string line = decision_line(event, options_.with_inputs);
  std::uint64_t seq = 0;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::system_clock::now();
    if (now > last_time_) last_time_ = now;
    stamp_line(line, last_time_);
    queued_ += line;
    ++queued_lines_;
    seq = next_seq_++;
    // A busy writer takes the line with its next group: no wake-up needed.
    wake = writer_idle_;
  }
  if (wake) wake_.notify_one();
  return seq;
}

void DecisionLog::reopen() {
  {
    std::lock_guard lock(mutex_);
    reopen_ = true;
  }
  wake_.notify_one();
}

void DecisionLog::add_waiter(Ticket ticket, std::unique_ptr<Waiter> waiter) {
  std::string error;
  {
    std::lock_guard lock(mutex_);
    if (ticket.last > done_seq_) {
      waiting_.push_back(Waiting{ticket, std::move(waiter)});
      return;
    }
    error = failed_in(ticket);
  }
  waiter->done(std::move(error));
}

std::string DecisionLog::failed_in(Ticket ticket) const {
  for (const auto& [first, last] : failed_) {
    if (first <= ticket.last && ticket.first <= last) {
      return "the decision could not be logged: " + failure_;
    }
  }
  return {};
}

std::string DecisionLog::trouble() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

Status<std::string> DecisionLog::open_file() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(options_.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return make_err("opening failed: " + os_error(errno));
  size_ = static_cast<std::uint64_t>(st.st_size);
  return ok_status<std::string>();
}

Status<std::string> DecisionLog::rotate() {
  if (options_.sync && ::fdatasync(fd_) != 0) return make_err("syncing failed: " + os_error(errno));
  const auto name = [&](unsigned i) { return options_.path + "." + std::to_string(i); };
  for (unsigned i = options_.keep; i > 1; --i) {
    if (::rename(name(i - 1).c_str(), name(i).c_str()) != 0 && errno != ENOENT) {
      return make_err("rotating failed: " + os_error(errno));
    }
  }
  if (::rename(options_.path.c_str(), name(1).c_str()) != 0) {
    return make_err("rotating failed: " + os_error(errno));
  }
  ++rotations_;
  return open_file();
}

Status<std::string> DecisionLog::write_group(const std::string& group) {
  if (options_.fault && ::access(options_.fault->c_str(), F_OK) == 0) {
    return make_err("writing failed: " + os_error(ENOSPC));
  }
  if (options_.max_bytes > 0 && size_ > 0 && size_ + group.size() > options_.max_bytes) {
    if (auto rotated = rotate(); !rotated) return rotated;
  }
  std::size_t written = 0;
  while (written < group.size()) {
    const ssize_t n = ::write(fd_, group.data() + written, group.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string e = os_error(n < 0 ? errno : ENOSPC);
      // A part of a group is no line of the log: cut it away again.
      if (written > 0 && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
        return make_err("writing failed: " + e +
                        ", and cutting the partial write failed: " + os_error(errno));
      }
      return make_err("writing failed: " + e);
    }
    written += static_cast<std::size_t>(n);
  }
  if (options_.sync && ::fdatasync(fd_) != 0) {
    const std::string e = os_error(errno);
    // The lines may or may not be on disk: they count as not logged, and
    // are cut away so that no answer-less line stays behind.
    if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
      return make_err("syncing failed: " + e +
                      ", and cutting the lines failed: " + os_error(errno));
    }
    return make_err("syncing failed: " + e);
  }
  size_ += group.size();
  return ok_status<std::string>();
}

void DecisionLog::run() {
  std::string group;
  std::unique_lock lock(mutex_);
  for (;;) {
    writer_idle_ = true;
    wake_.wait(lock, [&] { return stop_ || reopen_ || !queued_.empty(); });
    writer_idle_ = false;
    if (queued_.empty() && stop_) return;
    const bool reopen = std::exchange(reopen_, false);
    group.clear();
    group.swap(queued_);
    const std::size_t lines = std::exchange(queued_lines_, 0);
    const std::uint64_t last = next_seq_ - 1;
    const std::uint64_t first = last + 1 - lines;
    lock.unlock();

    Status<std::string> result = ok_status<std::string>();
    if (reopen) result = open_file();
    if (result && !group.empty()) result = write_group(group);

    lock.lock();
    if (lines > 0) {
      done_seq_ = last;
      if (result) {
        lines_ += lines;
        bytes_ += group.size();
        ++groups_;
        if (options_.sync) ++syncs_;
      } else {
        ++write_errors_;
        failed_.emplace_back(first, last);
        if (failed_.size() > 256) failed_.erase(failed_.begin());
      }
    }
    if (!result && failure_.empty()) {
      failure_ = result.error();
      next_probe_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      std::cerr << "decision log `" << options_.path << "`: " << failure_
                << "; deciding stops until it can be written" << std::endl;
    } else if (result && !failure_.empty() && lines > 0) {
      failure_.clear();
      std::cerr << "decision log `" << options_.path << "`: writing works again, deciding resumes"
                << std::endl;
    }
    // Wake whoever waits for what is now done.
    std::vector<Waiting> ready;
    for (std::size_t i = 0; i < waiting_.size();) {
      if (waiting_[i].ticket.last <= done_seq_) {
        ready.push_back(std::move(waiting_[i]));
        waiting_[i] = std::move(waiting_.back());
        waiting_.pop_back();
      } else {
        ++i;
      }
    }
    std::vector<std::string> errors;
    for (auto& w : ready) errors.push_back(failed_in(w.ticket));
    lock.unlock();
    for (std::size_t i = 0; i < ready.size(); ++i) ready[i].waiter->done(std::move(errors[i]));
    lock.lock();
  }
}

std::string DecisionLog::metrics_text() const {
  std::lock_guard lock(mutex_);
  std::string out;
  const auto metric = [&](const char* name, const char* type, const char* help, auto value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           name + " " + std::to_string(value) + "\n";
  };
  metric("verdane_decision_log_lines_total", "counter", "Lines written to the decision log.",
         lines_);
  metric("verdane_decision_log_bytes_total", "counter", "Bytes written to the decision log.",
         bytes_);
  metric("verdane_decision_log_syncs_total", "counter", "fdatasync calls on the decision log.",
         syncs_);
  metric("verdane_decision_log_groups_total", "counter",
         "Groups of lines written at once (lines per group: lines / groups).", groups_);
  metric("verdane_decision_log_queue_lines", "gauge", "Lines waiting to be written.",
         queued_lines_);
  metric("verdane_decision_log_wait_seconds_total", "counter",
         "Time requests waited for the decision log (room in the queue, then the disk).",
         static_cast<double>(wait_ns_) / 1e9);
  metric("verdane_decision_log_full_total", "counter",
         "Requests answered 503 because the decision log's queue stayed full.", refused_full_);
  metric("verdane_decision_log_failing_total", "counter",
         "Requests answered 503 because the decision log could not be written.",
         refused_failing_ + 0);
  metric("verdane_decision_log_write_errors_total", "counter",
         "Groups that could not be written or synced.", write_errors_);
  metric("verdane_decision_log_rotations_total", "counter", "Rotations of the decision log.",
         rotations_);
  metric("verdane_decision_log_writable", "gauge", "1 while the decision log can be written.",
         failure_.empty() ? 1 : 0);
  return out;
}

}  // namespace verdane::serve
