// Deciding pieces of input in parallel with the answers in input order.
// Pieces are read on the calling thread, decided on `jobs` threads in any
// order, and handed to the sink in the order they were read, on a thread of
// its own, so reading, deciding and writing overlap. At most two pieces per
// thread are read and not yet handed on, which bounds the memory whatever
// the size of the input.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "support/result.h"

namespace verdane::pipeline {

// Why a run ended.
enum class Ended : std::uint8_t {
  Input,  // every piece was read and handed on
  Sink,   // the sink asked to stop; later pieces were not handed on
};

// The three parts, for pieces of type `Piece` and errors of type `E`:
//   source.next()    Result<std::optional<Piece>, E>: the next piece, nullopt
//                    at the end of the input
//   decide(piece)    fills in the piece's answer; called on several threads
//                    at once, for different pieces
//   sink.take(piece) Result<bool, E>: the decided pieces in input order, all
//                    on one thread; false stops the run
//   sink.idle()      Status<E>: called on that thread before it waits for a
//                    piece and after the last one (to flush what it wrote)
// The first sink error stops reading and is the run's error. A source error
// stops reading too; the pieces read before it still reach the sink, and
// the error is the run's unless the sink failed. With one job everything
// happens in turn on the calling thread, with the same calls in the same
// order on the sink.
template <typename Piece, typename E, typename Source, typename Decide, typename Sink>
Result<Ended, E> run_ordered(unsigned jobs, Source& source, const Decide& decide, Sink& sink);

namespace detail {

template <typename Piece, typename E, typename Source, typename Decide, typename Sink>
class Ordered {
 public:
  Ordered(unsigned jobs, const Decide& decide, Sink& sink)
      : decide_(decide), sink_(sink), capacity_(2 * std::size_t{jobs}) {
    for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
    handing_ = std::thread([this] { hand_on(); });
  }
  Ordered(const Ordered&) = delete;
  Ordered& operator=(const Ordered&) = delete;

  Result<Ended, E> run(Source& source) {
    std::optional<E> read_error;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        space_.wait(lock, [this] { return slots_.size() < capacity_ || stopped_; });
        if (stopped_) break;
      }
      auto piece = source.next();
      if (!piece) {
        read_error = std::move(piece).error();
        break;
      }
      if (!*piece) break;
      auto slot = std::make_unique<Slot>(Slot{std::move(**piece), false});
      std::lock_guard lock(mutex_);
      slots_.push_back(std::move(slot));
      work_.notify_one();
    }
    {
      std::lock_guard lock(mutex_);
      input_ended_ = true;
    }
    work_.notify_all();
    done_.notify_all();
    for (std::thread& t : workers_) t.join();
    handing_.join();
    if (sink_error_) return make_err(std::move(*sink_error_));
    if (read_error) return make_err(std::move(*read_error));
    return sink_stopped_ ? Ended::Sink : Ended::Input;
  }

 private:
  struct Slot {
    Piece piece;
    bool done;  // decided
  };

  void work() {
    for (;;) {
      Slot* slot = nullptr;
      {
        std::unique_lock lock(mutex_);
        work_.wait(lock, [this] { return taken_ < slots_.size() || input_ended_; });
        if (taken_ == slots_.size()) return;
        slot = slots_[taken_++].get();
      }
      decide_(slot->piece);
      std::lock_guard lock(mutex_);
      slot->done = true;
      done_.notify_all();
    }
  }

  // The sink's thread. After a stop or an error it still takes the pieces
  // off the queue (the workers finish those they hold) but hands on none.
  void hand_on() {
    for (;;) {
      std::unique_ptr<Slot> slot;
      {
        std::unique_lock lock(mutex_);
        if (slots_.empty() || !slots_.front()->done) {
          lock.unlock();
          idle();
          lock.lock();
        }
        done_.wait(lock, [this] {
          return (!slots_.empty() && slots_.front()->done) || (input_ended_ && slots_.empty());
        });
        if (slots_.empty()) break;
        slot = std::move(slots_.front());
        slots_.pop_front();
        --taken_;
        space_.notify_one();
      }
      if (!handing_stopped()) {
        auto taken = sink_.take(slot->piece);
        if (!taken) {
          sink_error_ = std::move(taken).error();
          stop();
        } else if (!*taken) {
          sink_stopped_ = true;
          stop();
        }
      }
    }
    idle();
  }

  void idle() {
    if (handing_stopped()) return;
    auto idled = sink_.idle();
    if (idled) return;
    sink_error_ = std::move(idled).error();
    stop();
  }

  // Only the sink's thread reads and writes these two while the run lasts.
  bool handing_stopped() const { return sink_error_.has_value() || sink_stopped_; }

  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    space_.notify_all();
  }

  const Decide& decide_;
  Sink& sink_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable work_;             // a piece to decide, or the end
  std::condition_variable done_;             // a piece decided, or the end
  std::condition_variable space_;            // room for another piece, or a stop
  std::deque<std::unique_ptr<Slot>> slots_;  // read and not handed on, in input order
  std::size_t taken_ = 0;                    // leading slots given to workers
  bool input_ended_ = false;
  bool stopped_ = false;  // the sink failed or stopped: read no further
  std::optional<E> sink_error_;
  bool sink_stopped_ = false;
  std::vector<std::thread> workers_;
  std::thread handing_;
};

}  // namespace detail

template <typename Piece, typename E, typename Source, typename Decide, typename Sink>
Result<Ended, E> run_ordered(unsigned jobs, Source& source, const Decide& decide, Sink& sink) {
  if (jobs > 1) {
    detail::Ordered<Piece, E, Source, Decide, Sink> ordered(jobs, decide, sink);
    return ordered.run(source);
  }
  for (;;) {
    if (auto idled = sink.idle(); !idled) return make_err(std::move(idled).error());
    auto piece = source.next();
    if (!piece) return make_err(std::move(piece).error());
    if (!*piece) break;
    decide(**piece);
    auto taken = sink.take(**piece);
    if (!taken) return make_err(std::move(taken).error());
    if (!*taken) return Ended::Sink;
  }
  if (auto idled = sink.idle(); !idled) return make_err(std::move(idled).error());
  return Ended::Input;
}

}  // namespace verdane::pipeline
