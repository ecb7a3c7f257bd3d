#include "decide.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace verdane::python {

api::Expected<api::Decision> decide(const api::Template& tmpl, const Request& request,
                                    const api::EvalOptions& options) {
  return api::evaluate_json(tmpl, request.intent, request.evidence, options);
}

std::vector<std::optional<api::Expected<api::Decision>>> decide_all(
    const api::Template& tmpl, std::span<const Request> requests, const api::EvalOptions& options,
    std::size_t jobs) {
  std::vector<std::optional<api::Expected<api::Decision>>> results(requests.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr failure;
  std::mutex failure_mutex;

  // Each thread takes the next undecided request until none is left: the
  // threads stay busy however uneven the requests are.
  const auto work = [&] {
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
        if (i >= requests.size()) return;
        results[i].emplace(decide(tmpl, requests[i], options));
      }
    } catch (...) {
      stop = true;
      const std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };

  {
    const std::size_t helpers = std::min(jobs, requests.size()) - (requests.empty() ? 0 : 1);
    std::vector<std::jthread> threads;  // joined when this block ends, however it ends
    threads.reserve(helpers);
    for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(work);
    work();
  }
  if (failure) std::rethrow_exception(failure);
  return results;
}

}  // namespace verdane::python
