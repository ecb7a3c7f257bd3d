// Counters of the service, written as the Prometheus text format at /metrics.
// Lock-free counters: every request updates a few of them.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace verdane::serve {

enum class Route : std::uint8_t {
  TemplatesCreate,
  TemplatesList,
  TemplateGet,
  TemplateBytecode,
  TemplateDelete,
  NamesList,
  NameGet,
  NamePut,
  NameDelete,
  Eval,
  Batch,
  Health,
  Metrics,
  Unknown,
};
inline constexpr std::size_t kRoutes = 14;

enum class Outcome : std::uint8_t { Pass, Fail, InputError };

class Metrics {
 public:
  void request(Route route, unsigned status, std::chrono::nanoseconds took);
  void decision(Outcome outcome) {
    decisions_[static_cast<std::size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
  }
  void connection_opened() { open_.fetch_add(1, std::memory_order_relaxed); }
  void connection_closed() { open_.fetch_sub(1, std::memory_order_relaxed); }
  void connection_refused() { refused_.fetch_add(1, std::memory_order_relaxed); }
  void reload(bool ok) {
    (ok ? reloads_ : reload_failures_).fetch_add(1, std::memory_order_relaxed);
  }
  std::int64_t open_connections() const { return open_.load(std::memory_order_relaxed); }

  std::string text(std::size_t templates) const;

 private:
  static constexpr std::array<unsigned, 14> kStatuses{200, 201, 204, 400, 401, 403, 404,
                                                      405, 409, 413, 415, 429, 500, 503};
  static constexpr std::array<double, 12> kBuckets{0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025,
                                                   0.005,   0.01,   0.025,   0.05,   0.1,   1.0};
  std::array<std::array<std::atomic<std::uint64_t>, kStatuses.size() + 1>, kRoutes> requests_{};
  std::array<std::atomic<std::uint64_t>, kBuckets.size() + 1> latency_{};
  std::atomic<std::uint64_t> latency_ns_{0};
  std::array<std::atomic<std::uint64_t>, 3> decisions_{};
  std::atomic<std::int64_t> open_{0};
  std::atomic<std::uint64_t> refused_{0};
  std::atomic<std::uint64_t> reloads_{0};
  std::atomic<std::uint64_t> reload_failures_{0};
};

}  // namespace verdane::serve
