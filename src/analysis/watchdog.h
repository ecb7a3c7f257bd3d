// A time limit for everything the solver library does for one question.
//
// The solver's own timeout covers only its checks; turning terms into
// clauses when they are asserted, scopes pushed and popped, and simplifying
// terms ignore it and can take minutes on large terms. The watchdog
// interrupts the context at the deadline, whatever it is doing then; the
// library then fails the call in progress (and, possibly, every later one on
// that context), so the caller gives the context up once the watchdog fired.
#pragma once

#include <z3++.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace verdane::analysis {

class Watchdog {
 public:
  Watchdog(z3::context& ctx, std::uint32_t timeout_ms);
  ~Watchdog();  // stops the watch; never interrupts after it returns
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Whether the deadline passed and the context was interrupted.
  bool fired() const;
  // What is left until the deadline, in milliseconds (0 once past).
  std::uint32_t remaining_ms() const;

 private:
  void watch();

  z3::context& ctx_;
  const std::chrono::steady_clock::time_point deadline_;
  mutable std::mutex mutex_;
  std::condition_variable stop_signal_;
  bool stopped_ = false;
  bool fired_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

}  // namespace verdane::analysis
