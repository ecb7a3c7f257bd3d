#include "serve/metrics.h"

#include <cstdio>

namespace verdane::serve {

namespace {

constexpr std::array<const char*, kRoutes> kRouteNames{
    "templates_create", "templates_list", "template_get", "template_bytecode",
    "template_delete",  "names_list",     "name_get",     "name_put",
    "name_delete",      "eval",           "batch",        "health",
    "metrics",          "unknown"};

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

}  // namespace

void Metrics::request(Route route, unsigned status, std::chrono::nanoseconds took) {
  std::size_t s = kStatuses.size();  // the slot of any other status
  for (std::size_t i = 0; i < kStatuses.size(); ++i) {
    if (kStatuses[i] == status) s = i;
  }
  requests_[static_cast<std::size_t>(route)][s].fetch_add(1, std::memory_order_relaxed);
  const double seconds = std::chrono::duration<double>(took).count();
  std::size_t b = 0;
  while (b < kBuckets.size() && seconds > kBuckets[b]) ++b;
  latency_[b].fetch_add(1, std::memory_order_relaxed);
  latency_ns_.fetch_add(static_cast<std::uint64_t>(took.count()), std::memory_order_relaxed);
}

std::string Metrics::text(std::size_t templates) const {
  std::string out;
  out += "# HELP verdane_requests_total HTTP requests answered, by route and status.\n";
  out += "# TYPE verdane_requests_total counter\n";
  for (std::size_t r = 0; r < kRoutes; ++r) {
    for (std::size_t s = 0; s <= kStatuses.size(); ++s) {
      const std::uint64_t n = requests_[r][s].load(std::memory_order_relaxed);
      if (n == 0) continue;
      out += "verdane_requests_total{route=\"" + std::string(kRouteNames[r]) + "\",status=\"" +
             (s < kStatuses.size() ? std::to_string(kStatuses[s]) : std::string("other")) + "\"} " +
             std::to_string(n) + "\n";
    }
  }
  out += "# HELP verdane_decisions_total Decisions made, by result.\n";
  out += "# TYPE verdane_decisions_total counter\n";
  const char* results[] = {"pass", "fail", "input_error"};
  for (std::size_t i = 0; i < 3; ++i) {
    out += "verdane_decisions_total{result=\"" + std::string(results[i]) + "\"} " +
           std::to_string(decisions_[i].load(std::memory_order_relaxed)) + "\n";
  }
  out += "# HELP verdane_request_duration_seconds Time from a request's header to its answer.\n";
  out += "# TYPE verdane_request_duration_seconds histogram\n";
  std::uint64_t cumulative = 0;
  for (std::size_t b = 0; b <= kBuckets.size(); ++b) {
    cumulative += latency_[b].load(std::memory_order_relaxed);
    out += "verdane_request_duration_seconds_bucket{le=\"" +
           (b < kBuckets.size() ? number(kBuckets[b]) : std::string("+Inf")) + "\"} " +
           std::to_string(cumulative) + "\n";
  }
  out += "verdane_request_duration_seconds_sum " +
         number(static_cast<double>(latency_ns_.load(std::memory_order_relaxed)) / 1e9) + "\n";
  out += "verdane_request_duration_seconds_count " + std::to_string(cumulative) + "\n";
  out += "# HELP verdane_open_connections Connections open now.\n";
  out += "# TYPE verdane_open_connections gauge\n";
  out += "verdane_open_connections " + std::to_string(open_connections()) + "\n";
  out += "# HELP verdane_refused_connections_total Connections refused beyond --max-connections.\n";
  out += "# TYPE verdane_refused_connections_total counter\n";
  out += "verdane_refused_connections_total " + std::to_string(refused_.load()) + "\n";
  out += "# HELP verdane_store_reloads_total Store reloads (SIGHUP) that succeeded.\n";
  out += "# TYPE verdane_store_reloads_total counter\n";
  out += "verdane_store_reloads_total " + std::to_string(reloads_.load()) + "\n";
  out +=
      "# HELP verdane_store_reload_failures_total Store reloads that failed; the old set kept "
      "serving.\n";
  out += "# TYPE verdane_store_reload_failures_total counter\n";
  out += "verdane_store_reload_failures_total " + std::to_string(reload_failures_.load()) + "\n";
  out += "# HELP verdane_templates Templates in the store.\n";
  out += "# TYPE verdane_templates gauge\n";
  out += "verdane_templates " + std::to_string(templates) + "\n";
  return out;
}

}  // namespace verdane::serve
