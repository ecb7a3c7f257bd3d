#include "serve/server.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "serve/auth.h"
#include "serve/decision_log.h"
#include "serve/decision_sink.h"
#include "serve/metrics.h"
#include "serve/router.h"
#include "serve/session.h"
#include "serve/store.h"

namespace verdane::serve {

namespace {

using tcp = net::ip::tcp;
namespace ssl = net::ssl;

// The answer to a connection beyond --max-connections: sent at once, without
// reading anything, so refused clients cost next to nothing.
constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 1\r\n"
    "Connection: close\r\nContent-Length: 40\r\n\r\n{\"error\":\"too many open "
    "connections\"}\n\r\n";

// The connections open now, for shutdown.
class Registry {
 public:
  using Handle = std::list<std::pair<std::shared_ptr<Connection>, net::any_io_executor>>::iterator;
  Handle add(std::shared_ptr<Connection> c, net::any_io_executor ex) {
    std::lock_guard lock(mutex_);
    return list_.emplace(list_.end(), std::move(c), std::move(ex));
  }
  void remove(Handle h) {
    std::lock_guard lock(mutex_);
    list_.erase(h);
  }
  void stop_idle() {
    std::lock_guard lock(mutex_);
    for (auto& [c, ex] : list_) net::post(ex, [c = c] { c->stop_if_idle(); });
  }

 private:
  std::mutex mutex_;
  std::list<std::pair<std::shared_ptr<Connection>, net::any_io_executor>> list_;
};

struct Service {
  const Options& options;
  std::unique_ptr<Store> store;
  Auth auth;
  Metrics metrics;
  NullSink no_log;
  std::unique_ptr<DecisionLog> log;
  std::unique_ptr<Router> router;
  SessionLimits limits;
  std::atomic<bool> stopping{false};
  Registry registry;
  std::optional<ssl::context> tls;
};

template <typename Stream>
void start_session(Service& s, std::shared_ptr<Session<Stream>> session, net::any_io_executor ex) {
  s.metrics.connection_opened();
  auto handle = s.registry.add(session, ex);
  net::co_spawn(
      ex,
      [&s, session]() -> net::awaitable<void> {
        if constexpr (!std::is_same_v<Stream, beast::tcp_stream>) {
          beast::error_code ec;
          beast::get_lowest_layer(session->stream()).expires_after(s.limits.request_timeout);
          co_await session->stream().async_handshake(ssl::stream_base::server,
                                                     net::redirect_error(net::use_awaitable, ec));
          if (ec) co_return;
        }
        co_await session->run();
      },
      [&s, handle](std::exception_ptr) {
        s.registry.remove(handle);
        s.metrics.connection_closed();
      });
}

net::awaitable<void> accept_loop(Service& s, tcp::acceptor& acceptor, net::io_context& ioc) {
  for (;;) {
    auto ex = net::make_strand(ioc);
    beast::error_code ec;
    tcp::socket socket(ex);
    co_await acceptor.async_accept(socket, net::redirect_error(net::use_awaitable, ec));
    if (s.stopping.load()) co_return;
    if (ec) {
      if (ec == net::error::operation_aborted) co_return;
      continue;  // e.g. out of file descriptors: go on with the next one
    }
    socket.set_option(tcp::no_delay(true), ec);
    if (static_cast<std::size_t>(s.metrics.open_connections()) >= s.options.max_connections) {
      s.metrics.connection_refused();
      if (!s.tls) {
        socket.non_blocking(true, ec);
        socket.write_some(net::buffer(kBusy.data(), kBusy.size()), ec);
      }
      socket.close(ec);
      continue;
    }
    if (s.tls) {
      start_session(s,
                    std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
                        *s.router, s.limits, s.stopping, std::move(socket), *s.tls),
                    ex);
    } else {
      start_session(s,
                    std::make_shared<Session<beast::tcp_stream>>(*s.router, s.limits, s.stopping,
                                                                 std::move(socket)),
                    ex);
    }
  }
}

net::awaitable<void> wait_for_drain(Service& s, net::io_context& ioc) {
  const auto deadline = std::chrono::steady_clock::now() + s.options.grace;
  net::steady_timer timer(co_await net::this_coro::executor);
  while (s.metrics.open_connections() > 0 && std::chrono::steady_clock::now() < deadline) {
    s.registry.stop_idle();
    timer.expires_after(std::chrono::milliseconds(20));
    beast::error_code ec;
    co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
  }
  ioc.stop();
}

Result<tcp::endpoint, StartError> resolve(const Options& o, net::io_context& ioc) {
  beast::error_code ec;
  tcp::resolver resolver(ioc);
  auto results = resolver.resolve(o.host, o.port, tcp::resolver::numeric_service, ec);
  if (ec || results.empty()) {
    return make_err(StartError{1, "cannot resolve the listen address `" + o.host +
                                      "`: " + (ec ? ec.message() : std::string("no address"))});
  }
  return results.begin()->endpoint();
}

std::string url_of(const tcp::endpoint& e, bool tls) {
  const std::string host =
      e.address().is_v6() ? "[" + e.address().to_string() + "]" : e.address().to_string();
  return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(e.port());
}

Status<StartError> load_tls(Service& s) {
  if (!s.options.tls_cert) return ok_status<StartError>();
  s.tls.emplace(ssl::context::tls_server);
  auto& ctx = *s.tls;
  beast::error_code ec;
  ctx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                      ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                      ssl::context::single_dh_use,
                  ec);
  ctx.use_certificate_chain_file(*s.options.tls_cert, ec);
  if (ec) {
    return make_err(StartError{
        1, "cannot load the TLS certificate `" + *s.options.tls_cert + "`: " + ec.message()});
  }
  ctx.use_private_key_file(*s.options.tls_key, ssl::context::pem, ec);
  if (ec) {
    return make_err(
        StartError{1, "cannot load the TLS key `" + *s.options.tls_key + "`: " + ec.message()});
  }
  return ok_status<StartError>();
}

}  // namespace

Status<StartError> serve(const Options& options) {
  net::io_context ioc(static_cast<int>(options.threads));
  auto endpoint = resolve(options, ioc);
  if (!endpoint) return make_err(std::move(endpoint).error());

  Service s{options, nullptr, {}, {}, {}, nullptr, nullptr, {}, {}, {}, {}};
  auto auth = Auth::load(options.token_file, options.admin_token_file);
  if (!auth) return make_err(StartError{1, std::move(auth).error()});
  s.auth = std::move(auth).value();
  if (!s.auth.any_tokens() && !endpoint->address().is_loopback()) {
    return make_err(StartError{2, "refusing to listen on " + endpoint->address().to_string() +
                                      ", which is not a loopback address, without --token-file"});
  }
  if (auto tls = load_tls(s); !tls) return make_err(std::move(tls).error());
  auto store = Store::open(options.store);
  if (!store) return make_err(StartError{1, std::move(store).error()});
  s.store = std::move(store).value();
  if (options.decision_log) {
    DecisionLogOptions lo;
    lo.path = *options.decision_log;
    lo.with_inputs = !options.decision_log_omit_inputs;
    lo.sync = options.decision_log_sync;
    lo.queue = options.decision_log_queue;
    lo.max_bytes = options.decision_log_max_bytes;
    lo.keep = options.decision_log_keep;
    // Only the tests set this: a file whose presence makes every write fail.
    if (const char* fault = std::getenv("VERDANE_DECISION_LOG_FAULT")) lo.fault = fault;
    auto log = DecisionLog::open(std::move(lo));
    if (!log) return make_err(StartError{1, std::move(log).error()});
    s.log = std::move(log).value();
  }
  DecisionSink& sink = s.log ? static_cast<DecisionSink&>(*s.log) : s.no_log;
  s.router = std::make_unique<Router>(*s.store, s.auth, s.metrics, sink,
                                      RouterConfig{options.read_only, options.max_body});
  s.limits = SessionLimits{options.max_header, options.request_timeout, options.idle_timeout,
                           s.log.get(), options.decision_log_wait};

  tcp::acceptor acceptor(ioc);
  beast::error_code ec;
  acceptor.open(endpoint->protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(*endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    return make_err(StartError{
        1, "cannot listen on " + url_of(*endpoint, false).substr(7) + ": " + ec.message()});
  }

  net::signal_set signals(ioc, SIGHUP, SIGTERM, SIGINT);
  std::function<void(const beast::error_code&, int)> on_signal = [&](const beast::error_code& error,
                                                                     int signal) {
    if (error) return;
    if (signal == SIGHUP) {
      if (s.log) s.log->reopen();
      auto reloaded = s.store->reload();
      s.metrics.reload(reloaded.ok());
      if (reloaded) {
        std::cerr << "reloaded the store: " << s.store->snapshot()->templates.size() << " templates"
                  << std::endl;
      } else {
        std::cerr << "store reload failed, the previous templates keep serving: "
                  << reloaded.error() << std::endl;
      }
      signals.async_wait(on_signal);
      return;
    }
    s.stopping = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    net::co_spawn(ioc, wait_for_drain(s, ioc), net::detached);
  };
  signals.async_wait(on_signal);

  net::co_spawn(ioc, accept_loop(s, acceptor, ioc), net::detached);
  std::printf("listening on %s\n", url_of(acceptor.local_endpoint(), s.tls.has_value()).c_str());
  std::fflush(stdout);

  std::vector<std::thread> threads;
  for (unsigned i = 1; i < options.threads; ++i) threads.emplace_back([&ioc] { ioc.run(); });
  ioc.run();
  for (auto& t : threads) t.join();
  return ok_status<StartError>();
}

}  // namespace verdane::serve
