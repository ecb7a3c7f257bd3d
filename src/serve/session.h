// One connection: read a request, answer it, and again while the client
// keeps the connection alive. The same code serves plain TCP and TLS.
#pragma once

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <limits>
#include <optional>

#include "serve/decision_log.h"
#include "serve/options.h"
#include "serve/router.h"

namespace verdane::serve {

namespace net = boost::asio;
namespace beast = boost::beast;

// What the server needs of a connection to stop it at shutdown.
class Connection {
 public:
  virtual ~Connection() = default;
  // Closes the connection if it waits for a request; one busy with a request
  // finishes it and then closes. Called on the connection's own strand.
  virtual void stop_if_idle() = 0;
};

struct SessionLimits {
  std::size_t max_header;
  std::chrono::milliseconds request_timeout;
  std::chrono::milliseconds idle_timeout;
  DecisionLog* log = nullptr;  // every decision waits for it, when there is one
  std::chrono::milliseconds log_wait{};
};

template <typename Stream>
class Session final : public Connection {
 public:
  template <typename... Args>
  explicit Session(const Router& router, const SessionLimits& limits,
                   const std::atomic<bool>& stopping, Args&&... args)
      : stream_(std::forward<Args>(args)...),
        router_(router),
        limits_(limits),
        stopping_(stopping) {}

  Stream& stream() { return stream_; }

  void stop_if_idle() override {
    if (idle_) beast::get_lowest_layer(stream_).cancel();
  }

  net::awaitable<void> run() {
    beast::error_code ec;
    auto& tcp = beast::get_lowest_layer(stream_);
    for (;;) {
      if (buffer_.size() == 0) {
        // Waiting for the next request: the idle time applies.
        if (stopping_.load()) break;
        idle_ = true;
        tcp.expires_after(limits_.idle_timeout);
        const std::size_t n = co_await stream_.async_read_some(
            buffer_.prepare(4096), net::redirect_error(net::use_awaitable, ec));
        idle_ = false;
        if (ec) break;
        buffer_.commit(n);
      }
      // From its first byte a request has the request time to arrive whole.
      tcp.expires_after(limits_.request_timeout);
      const bool keep = co_await one_request();
      if (!keep) break;
    }
    co_await close();
  }

 private:
  using Clock = std::chrono::steady_clock;

  net::awaitable<void> close() {
    beast::error_code ec;
    auto& tcp = beast::get_lowest_layer(stream_);
    if constexpr (!std::is_same_v<Stream, beast::tcp_stream>) {
      tcp.expires_after(std::chrono::seconds(1));
      co_await stream_.async_shutdown(net::redirect_error(net::use_awaitable, ec));
    }
    tcp.socket().shutdown(net::ip::tcp::socket::shutdown_send, ec);
    tcp.close();
  }

  // Feeds the bytes already read to `parser` until `done()` or they run out.
  template <typename Parser, typename Done>
  void parse_buffered(Parser& parser, beast::error_code& ec, Done done) {
    while (!done() && buffer_.size() > 0) {
      const std::size_t n = parser.put(buffer_.data(), ec);
      buffer_.consume(n);
      if (ec == http::error::need_more) {
        ec = {};
        return;
      }
      if (ec || n == 0) return;
    }
  }

  // Waits for room in the decision log's queue; the answer when the request
  // must not be decided (the log is full past the wait, or cannot be written).
  net::awaitable<std::optional<std::string>> admit_log() {
    const auto begin = Clock::now();
    std::optional<net::steady_timer> timer;
    auto delay = std::chrono::microseconds(100);
    for (;;) {
      switch (limits_.log->admit()) {
        case DecisionLog::Admit::Yes:
          if (timer) limits_.log->waited(Clock::now() - begin);
          co_return std::nullopt;
        case DecisionLog::Admit::Failing:
          co_return "the decision log cannot be written: " + limits_.log->trouble();
        case DecisionLog::Admit::Full:
          break;
      }
      if (Clock::now() - begin >= limits_.log_wait) {
        limits_.log->refused_full();
        limits_.log->waited(Clock::now() - begin);
        co_return std::string("the decision log is full");
      }
      if (!timer) timer.emplace(co_await net::this_coro::executor);
      timer->expires_after(delay);
      beast::error_code ec;
      co_await timer->async_wait(net::redirect_error(net::use_awaitable, ec));
      delay = std::min(delay * 2, std::chrono::microseconds(5000));
    }
  }

  // Waits, off the io thread, until the lines of `t` are on disk; "" or why not.
  net::awaitable<std::string> wait_log(Ticket t) {
    const auto begin = Clock::now();
    std::string error = co_await limits_.log->async_wait(t, net::use_awaitable);
    limits_.log->waited(Clock::now() - begin);
    co_return error;
  }

  // Sends `r`; false when the connection must close after it.
  net::awaitable<bool> send(Response r, Route route, bool keep_alive, Clock::time_point start) {
    http::response<http::string_body> res{static_cast<http::status>(r.status), 11};
    if (r.status != 204) res.set(http::field::content_type, r.content_type);
    if (!r.allow.empty()) res.set(http::field::allow, r.allow);
    if (r.challenge) res.set(http::field::www_authenticate, "Bearer");
    if (r.retry_after) res.set(http::field::retry_after, "1");
    res.body() = std::move(r.body);
    res.keep_alive(keep_alive && !stopping_.load());
    res.prepare_payload();
    beast::error_code ec;
    co_await http::async_write(stream_, res, net::redirect_error(net::use_awaitable, ec));
    router_.metrics().request(route, r.status, Clock::now() - start);
    co_return !ec && res.keep_alive();
  }

  // Reads and answers one request; false when the connection must close.
  net::awaitable<bool> one_request() {
    beast::error_code ec;
    http::request_parser<http::empty_body> head;
    head.header_limit(static_cast<std::uint32_t>(limits_.max_header));
    head.body_limit(std::numeric_limits<std::uint64_t>::max());  // boost::none trips a 1.74 check
    // A request that has arrived whole is parsed at once; only a partial
    // one waits for more through the stream (each wait costs a round trip
    // through the io loop, a large share of a small request's time).
    parse_buffered(head, ec, [&] { return head.is_header_done(); });
    if (!ec && !head.is_header_done()) {
      co_await http::async_read_header(stream_, buffer_, head,
                                       net::redirect_error(net::use_awaitable, ec));
    }
    const auto start = Clock::now();
    if (ec == http::error::header_limit) {
      co_await send(error_response(431, "the request header is too large"), Route::Unknown, false,
                    start);
      co_return false;
    }
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == net::error::operation_aborted || ec == net::error::eof ||
        ec == net::error::connection_reset) {
      co_return false;
    }
    if (ec) {
      co_await send(error_response(400, "malformed HTTP request: " + ec.message()), Route::Unknown,
                    false, start);
      co_return false;
    }
    const auto& header = head.get();
    // Beast's own header limit lets some headers of many fields through, so
    // the limit is checked once more on what was parsed.
    std::size_t header_size = header.target().size();
    for (const auto& field : header)
      header_size += field.name_string().size() + field.value().size() + 4;
    if (header_size > limits_.max_header) {
      co_await send(error_response(431, "the request header is too large"), Route::Unknown, false,
                    start);
      co_return false;
    }
    const bool has_body = head.chunked() || (head.content_length() && *head.content_length() > 0);
    auto routed = router_.accept(header);
    if (auto* early = std::get_if<Response>(&routed)) {
      // The body is not read, so the connection cannot carry another request.
      const Route route = early->route;
      co_return co_await send(std::move(*early), route, header.keep_alive() && !has_body, start);
    }
    Pending pending = std::get<Pending>(std::move(routed));
    if (has_body && head.content_length() && *head.content_length() > router_.max_body() &&
        pending.route != Route::Batch) {
      co_await send(error_response(413, "the body is larger than " +
                                            std::to_string(router_.max_body()) + " bytes"),
                    pending.route, false, start);
      co_return false;
    }
    if (has_body && beast::iequals(header[http::field::expect], "100-continue")) {
      http::response<http::empty_body> go{http::status::continue_, 11};
      co_await http::async_write(stream_, go, net::redirect_error(net::use_awaitable, ec));
      if (ec) co_return false;
    }
    if (pending.route == Route::Batch) co_return co_await batch(head, pending, start);

    http::request_parser<http::string_body> full(std::move(head));
    full.body_limit(router_.max_body());
    if (has_body) {
      parse_buffered(full, ec, [&] { return full.is_done(); });
      if (!ec && !full.is_done()) {
        co_await http::async_read(stream_, buffer_, full,
                                  net::redirect_error(net::use_awaitable, ec));
      }
      if (ec == http::error::body_limit) {
        co_await send(error_response(413, "the body is larger than " +
                                              std::to_string(router_.max_body()) + " bytes"),
                      pending.route, false, start);
        co_return false;
      }
      if (ec) co_return false;
    }
    const bool keep_alive = full.get().keep_alive();
    if (pending.route == Route::Eval && limits_.log) {
      if (auto refused = co_await admit_log()) {
        co_return co_await send(unavailable(*refused), pending.route, keep_alive, start);
      }
    }
    Response r = router_.answer(pending, full.get().body());
    if (r.ticket.first != 0) {
      std::string error = co_await wait_log(r.ticket);
      if (!error.empty()) r = unavailable(error);
    }
    co_return co_await send(std::move(r), pending.route, keep_alive, start);
  }

  // Streams a batch: each piece of the body read is decided and its lines
  // sent as one chunk before the next piece is read.
  net::awaitable<bool> batch(http::request_parser<http::empty_body>& head, const Pending& pending,
                             Clock::time_point start) {
    beast::error_code ec;
    http::request_parser<http::buffer_body> body(std::move(head));
    body.body_limit(std::numeric_limits<std::uint64_t>::max());  // boost::none trips a 1.74 check
    http::response<http::empty_body> res{http::status::ok, 11};
    res.set(http::field::content_type, "application/x-ndjson");
    res.chunked(true);
    res.keep_alive(body.get().keep_alive() && !stopping_.load());
    http::response_serializer<http::empty_body> sr{res};
    co_await http::async_write_header(stream_, sr, net::redirect_error(net::use_awaitable, ec));
    if (ec) co_return false;
    BatchStream lines = router_.batch(pending);
    std::string out;
    bool going = true;
    char piece[64 << 10];
    auto& tcp = beast::get_lowest_layer(stream_);
    while (going && !body.is_done()) {
      body.get().body().data = piece;
      body.get().body().size = sizeof piece;
      tcp.expires_after(limits_.request_timeout);
      // Whatever has arrived is decided now: a client that writes one line
      // and waits gets its answer before it sends the next.
      co_await http::async_read_some(stream_, buffer_, body,
                                     net::redirect_error(net::use_awaitable, ec));
      if (ec == http::error::need_buffer) ec = {};
      if (ec) co_return false;  // the client is gone or too slow: nothing to answer to
      const std::size_t got = sizeof piece - body.get().body().size;
      out.clear();
      const std::uint64_t first_line = lines.next_line();
      if (limits_.log) {
        if (auto refused = co_await admit_log()) {
          out = lines.stop(first_line, *refused);
          going = false;
        }
      }
      if (going) going = lines.feed(std::string_view(piece, got), out);
      if (const Ticket t = lines.take_ticket(); t.first != 0) {
        // No answer of this piece leaves before its line is logged.
        std::string error = co_await wait_log(t);
        if (!error.empty()) {
          out = lines.stop(first_line, error);
          going = false;
        }
      }
      if (!out.empty()) {
        co_await net::async_write(stream_, http::make_chunk(net::buffer(out)),
                                  net::redirect_error(net::use_awaitable, ec));
        if (ec) co_return false;
      }
    }
    out.clear();
    if (going) {
      const std::uint64_t last_line = lines.next_line();
      going = lines.finish(out);
      if (const Ticket t = lines.take_ticket(); t.first != 0) {
        std::string error = co_await wait_log(t);
        if (!error.empty()) {
          out = lines.stop(last_line, error);
          going = false;
        }
      }
    }
    if (!out.empty()) {
      co_await net::async_write(stream_, http::make_chunk(net::buffer(out)),
                                net::redirect_error(net::use_awaitable, ec));
      if (ec) co_return false;
    }
    co_await net::async_write(stream_, http::make_chunk_last(),
                              net::redirect_error(net::use_awaitable, ec));
    router_.metrics().request(Route::Batch, 200, Clock::now() - start);
    // A batch cut short leaves body unread: the connection ends with it.
    co_return !ec && going && res.keep_alive();
  }

  Stream stream_;
  beast::flat_buffer buffer_;
  const Router& router_;
  const SessionLimits& limits_;
  const std::atomic<bool>& stopping_;
  bool idle_ = false;
};

}  // namespace verdane::serve
