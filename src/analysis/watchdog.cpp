#include "analysis/watchdog.h"

namespace verdane::analysis {

Watchdog::Watchdog(z3::context& ctx, std::uint32_t timeout_ms)
    : ctx_(ctx),
      deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)),
      thread_([this] { watch(); }) {}

Watchdog::~Watchdog() {
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  stop_signal_.notify_one();
  thread_.join();
}

bool Watchdog::fired() const {
  const std::lock_guard lock(mutex_);
  return fired_;
}

std::uint32_t Watchdog::remaining_ms() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
}

void Watchdog::watch() {
  std::unique_lock lock(mutex_);
  if (stop_signal_.wait_until(lock, deadline_, [this] { return stopped_; })) return;
  fired_ = true;
  // Under the lock, so that the owner cannot have moved on to another use
  // of the context before the interrupt lands.
  ctx_.interrupt();
}

}  // namespace verdane::analysis
