// Deciding requests without the GIL: one at a time, or many on several
// threads. Plain C++ over the public API; nothing here touches Python.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "verdane/verdane.h"

namespace verdane::python {

// The JSON texts of one request. The texts must outlive the call.
struct Request {
  std::string_view intent;
  std::string_view evidence;
};

// The decision for one request, or the JSON error of one of its documents
// (the intent's first), as `verdane eval` gives them.
api::Expected<api::Decision> decide(const api::Template& tmpl, const Request& request,
                                    const api::EvalOptions& options);

// decide() for every request, on `jobs` threads (the calling thread is one
// of them; no more threads than requests), in request order. An exception
// thrown on any thread (std::bad_alloc) is rethrown here once every thread
// has stopped.
std::vector<std::optional<api::Expected<api::Decision>>> decide_all(
    const api::Template& tmpl, std::span<const Request> requests, const api::EvalOptions& options,
    std::size_t jobs);

}  // namespace verdane::python
