// The step between deciding a request and answering it. Every decision the
// service makes passes through a sink before its answer is sent, so a sink
// that must hold a decision durably (a decision log) can be put here and,
// by failing, keep the answer from being sent.
#pragma once

#include <string>
#include <string_view>

#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::serve {

struct DecisionEvent {
  std::string_view template_id;
  std::string_view request;                      // the request text as received
  const api::Expected<api::Decision>& decision;  // or why the request is malformed
  std::string_view answer;                       // the JSON about to be sent
};

class DecisionSink {
 public:
  virtual ~DecisionSink() = default;
  // An error fails the request with 500 (a batch ends with an error line).
  virtual Status<std::string> record(const DecisionEvent& event) = 0;
};

}  // namespace verdane::serve

namespace verdane::serve {

// Keeps nothing: the sink until a decision log is configured.
class NullSink final : public DecisionSink {
 public:
  Status<std::string> record(const DecisionEvent&) override { return ok_status<std::string>(); }
};

}  // namespace verdane::serve
