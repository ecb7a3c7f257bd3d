// The step between deciding a request and answering it. Every decision the
// service makes passes through a sink before its answer is sent, so a sink
// that must hold a decision durably (a decision log) can be put here and,
// by failing, keep the answer from being sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::serve {

struct DecisionEvent {
  std::string_view template_id;
  std::string_view name;         // the name the request came by; empty when by id
  std::string_view decision_id;  // from DecisionSink::next_id
  std::string_view request;      // the request text as received
  const api::Decision& decision;
};

// Which recorded decisions a request waits for: [first, last], none when
// first is 0.
struct Ticket {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  void add(std::uint64_t seq) {
    if (first == 0) first = seq;
    last = seq;
  }
};

class DecisionSink {
 public:
  virtual ~DecisionSink() = default;
  // Whether decisions are kept, and so get an id the answer carries.
  virtual bool keeps() const = 0;
  virtual std::string next_id() = 0;
  // Queues the decision; its number, which the answer must wait for. An
  // error fails the request with 503 (a batch ends with an error line).
  virtual Result<std::uint64_t, std::string> record(const DecisionEvent& event) = 0;
  // Lines for /metrics, and why deciding is stopped ("" when it is not).
  virtual std::string metrics_text() const { return {}; }
  virtual std::string trouble() const { return {}; }
};

// Keeps nothing: the sink until a decision log is configured.
class NullSink final : public DecisionSink {
 public:
  bool keeps() const override { return false; }
  std::string next_id() override { return {}; }
  Result<std::uint64_t, std::string> record(const DecisionEvent&) override { return 0; }
};

}  // namespace verdane::serve
