// The decision log: every decision, one JSON line, on disk before its answer
// leaves. Requests queue their lines; one writer thread writes everything
// that arrived while it last wrote and synced, then syncs once for all of
// it (group commit), and wakes the requests waiting for those lines on their
// own executors, so no io thread ever waits for the disk.
#pragma once

#include <atomic>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serve/decision_sink.h"
#include "support/result.h"

namespace verdane::serve {

struct DecisionLogOptions {
  std::string path;
  bool with_inputs = true;
  bool sync = true;                  // fdatasync every group before answering
  std::size_t queue = 4096;          // lines waiting for the disk, at most
  std::uint64_t max_bytes = 0;       // rotate past this size; 0: never
  unsigned keep = 5;                 // rotated files kept
  std::optional<std::string> fault;  // tests: while this file exists, writes fail (ENOSPC)
};

class DecisionLog final : public DecisionSink {
 public:
  // Opens (creating) the file, cutting an incomplete last line away (told on
  // stderr), and starts the writer thread.
  static Result<std::unique_ptr<DecisionLog>, std::string> open(DecisionLogOptions options);
  ~DecisionLog() override;

  bool keeps() const override { return true; }
  std::string next_id() override;
  Result<std::uint64_t, std::string> record(const DecisionEvent& event) override;
  std::string metrics_text() const override;
  std::string trouble() const override;

  enum class Admit { Yes, Full, Failing };
  // Whether a request may decide now: the queue has room and writing works
  // (while it does not, one request in a while is let through to find out).
  Admit admit();
  void refused_full() {
    std::lock_guard lock(mutex_);
    ++refused_full_;
  }
  void waited(std::chrono::nanoseconds t) {
    std::lock_guard lock(mutex_);
    wait_ns_ += t.count();
  }
  // Reopens the file at the next write (SIGHUP: it was moved away).
  void reopen();

  // Completes with "" once every line of `ticket` is on disk, or with why not.
  template <typename Token>
  auto async_wait(Ticket ticket, Token&& token) {
    return boost::asio::async_initiate<Token, void(std::string)>(
        [this, ticket](auto handler) {
          using Handler = decltype(handler);
          using Executor = boost::asio::associated_executor_t<Handler>;
          struct Posting final : Waiter {
            Handler h;
            boost::asio::executor_work_guard<Executor> work;
            Posting(Handler&& hh, Executor e) : h(std::move(hh)), work(std::move(e)) {}
            void done(std::string error) override {
              auto e = work.get_executor();
              boost::asio::post(e, [h = std::move(h), error = std::move(error)]() mutable {
                std::move(h)(std::move(error));
              });
            }
          };
          Executor ex = boost::asio::get_associated_executor(handler);
          add_waiter(ticket, std::make_unique<Posting>(std::move(handler), std::move(ex)));
        },
        token);
  }

 private:
  struct Waiter {
    virtual ~Waiter() = default;
    virtual void done(std::string error) = 0;
  };
  struct Waiting {
    Ticket ticket;
    std::unique_ptr<Waiter> waiter;
  };

  DecisionLog(DecisionLogOptions options, int fd, std::uint64_t size);
  void add_waiter(Ticket ticket, std::unique_ptr<Waiter> waiter);
  std::string failed_in(Ticket ticket) const;  // under mutex_
  void run();
  Status<std::string> write_group(const std::string& group);
  Status<std::string> rotate();
  Status<std::string> open_file();

  const DecisionLogOptions options_;
  int fd_;
  std::uint64_t size_;  // of the open file; writer thread only
  std::string id_prefix_;
  std::atomic<std::uint64_t> next_id_{1};

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string queued_;  // lines waiting, in order
  std::size_t queued_lines_ = 0;
  std::uint64_t next_seq_ = 1;
  std::uint64_t done_seq_ = 0;  // every line up to it is written or failed
  std::chrono::system_clock::time_point last_time_{};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> failed_;  // recent failed ranges
  std::string failure_;  // why writing fails now; "" when it works
  std::chrono::steady_clock::time_point next_probe_{};
  std::vector<Waiting> waiting_;
  bool reopen_ = false;
  bool writer_idle_ = false;
  bool stop_ = false;
  // Metrics.
  std::uint64_t lines_ = 0, bytes_ = 0, syncs_ = 0, groups_ = 0, rotations_ = 0;
  std::uint64_t refused_full_ = 0, refused_failing_ = 0, write_errors_ = 0;
  std::int64_t wait_ns_ = 0;

  std::thread writer_;
};

}  // namespace verdane::serve
