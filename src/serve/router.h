// What each request means: the routes of the API, their checks (method,
// token, content type, ids and names) and their answers. Independent of the
// connection, so the fuzz target drives it with parsed bytes alone.
#pragma once

#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "serve/auth.h"
#include "serve/decision_sink.h"
#include "serve/metrics.h"
#include "serve/store.h"

namespace verdane::serve {

namespace http = boost::beast::http;

struct Response {
  Route route = Route::Unknown;  // for the metrics
  unsigned status = 200;
  std::string_view content_type = "application/json";
  std::string body;
  std::string_view allow;  // for 405
  bool challenge = false;  // WWW-Authenticate: Bearer (401)
  bool retry_after = false;
  Ticket ticket;  // the logged decisions the answer waits for
};

// The answer {"error": "<message>"} with `status`.
Response error_response(unsigned status, std::string_view message);
// A 503 with Retry-After: the request was not decided, it may be tried again.
Response unavailable(std::string_view message);

// A request whose header has been read and accepted; the body comes next.
struct Pending {
  Route route = Route::Unknown;
  std::shared_ptr<const Snapshot> snapshot;  // eval and batch decide against this set
  const Entry* entry = nullptr;              // eval, batch and the template routes
  std::string name;                          // the name routes
  bool explain = false;
  bool bytecode = false;  // an upload of bytecode rather than source
};

// Decides the lines of a batch body as they arrive: `eval --batch`'s lines,
// in bounded memory (one line at a time, at most `max_line` bytes).
class BatchStream {
 public:
  BatchStream(const Entry& entry, std::string_view name, bool explain, std::size_t max_line,
              Metrics& metrics, DecisionSink& sink);
  // Appends the answers of every line completed by `data` to `out`; false
  // once the stream has ended (a line too long, a sink failure), after the
  // line saying why.
  bool feed(std::string_view data, std::string& out);
  // The last line, if it had no line feed.
  bool finish(std::string& out);
  // The logged decisions of the lines fed since the last call.
  Ticket take_ticket() { return std::exchange(ticket_, Ticket{}); }
  // Ends the stream with an error line for line `line` instead of answers.
  std::string stop(std::uint64_t line, std::string_view why);
  std::uint64_t next_line() const { return number_; }

 private:
  bool line(std::string_view text, std::string& out);
  const Entry& entry_;
  std::string name_;
  api::EvalOptions options_;
  std::size_t max_line_;
  Metrics& metrics_;
  DecisionSink& sink_;
  std::string carry_;
  std::uint64_t number_ = 1;
  bool ended_ = false;
  Ticket ticket_;
};

struct RouterConfig {
  bool read_only = false;
  std::size_t max_body = std::size_t{1} << 20;
};

class Router {
 public:
  Router(Store& store, const Auth& auth, Metrics& metrics, DecisionSink& sink, RouterConfig config)
      : store_(store), auth_(auth), metrics_(metrics), sink_(sink), config_(config) {}

  // Checks a request header: either a request to read the body of, or the
  // answer already (an error, or a route that needs no body).
  std::variant<Pending, Response> accept(const http::request_header<>& header) const;
  // Answers an accepted request with its whole body (every route but batch).
  Response answer(const Pending& pending, std::string_view body) const;
  BatchStream batch(const Pending& pending) const {
    return BatchStream(*pending.entry, pending.name, pending.explain, config_.max_body, metrics_,
                       sink_);
  }
  std::size_t max_body() const { return config_.max_body; }
  Metrics& metrics() const { return metrics_; }
  Store& store() const { return store_; }

 private:
  std::variant<Pending, Response> check(const http::request_header<>& header, Route& route) const;
  Response upload(std::string_view content_type, std::string_view body) const;
  Response eval(const Pending& pending, std::string_view body) const;
  Response put_name(const Pending& pending, std::string_view body) const;

  Store& store_;
  const Auth& auth_;
  Metrics& metrics_;
  DecisionSink& sink_;
  const RouterConfig config_;
};

}  // namespace verdane::serve
