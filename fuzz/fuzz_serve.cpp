// Raw HTTP bytes through the service's request handling: Beast's parser with
// the service's limits, then the router's checks and answer, and for a batch
// route the streamed line decisions. The store is read-only and holds the
// payment example, by id and by name, so decisions are reached.
#include <stdlib.h>
#include <unistd.h>

#include <boost/beast/http.hpp>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "bench/payment_policy.h"
#include "serve/auth.h"
#include "serve/decision_sink.h"
#include "serve/metrics.h"
#include "serve/router.h"
#include "serve/store.h"
#include "verdane/verdane.h"

namespace {

namespace http = boost::beast::http;
using namespace verdane;

struct World {
  std::unique_ptr<serve::Store> store;
  serve::Auth auth;
  serve::Metrics metrics;
  serve::NullSink sink;
  std::unique_ptr<serve::Router> router;
};

World& world() {
  static World* w = [] {
    char dir[] = "/tmp/verdane-fuzz-serve-XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    auto tmpl = api::compile(kPaymentPolicy);
    auto bytes = api::encode(*tmpl);
    const std::string id = api::id(*tmpl)->to_string();
    std::ofstream(std::string(dir) + "/" + id + ".bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()),
               static_cast<std::streamsize>(bytes->size()));
    std::ofstream(std::string(dir) + "/names.txt") << "payment " << id << "\n";
    auto* made = new World;
    auto store = serve::Store::open(dir);
    if (!store) std::abort();
    made->store = std::move(store).value();
    made->auth = *serve::Auth::load(std::nullopt, std::nullopt);
    made->router = std::make_unique<serve::Router>(*made->store, made->auth, made->metrics,
                                                   made->sink, serve::RouterConfig{true, 4096});
    return made;
  }();
  return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = world();
  http::request_parser<http::string_body> parser;
  parser.header_limit(8192);
  parser.body_limit(1 << 16);
  parser.eager(true);
  boost::beast::error_code ec;
  std::size_t used = 0;
  while (used < size && !parser.is_done()) {
    const std::size_t n = parser.put(boost::asio::buffer(data + used, size - used), ec);
    if (ec) return 0;
    if (n == 0) break;
    used += n;
  }
  if (!parser.is_header_done()) return 0;
  auto routed = w.router->accept(parser.get().base());
  const auto* pending = std::get_if<serve::Pending>(&routed);
  if (pending == nullptr) return 0;
  const std::string& body = parser.get().body();
  if (pending->route == serve::Route::Batch) {
    serve::BatchStream lines = w.router->batch(*pending);
    std::string out;
    // Fed in two pieces, so lines cut across reads are exercised.
    const std::size_t half = body.size() / 2;
    if (lines.feed(std::string_view(body).substr(0, half), out)) {
      if (lines.feed(std::string_view(body).substr(half), out)) lines.finish(out);
    }
    return 0;
  }
  serve::Response r = w.router->answer(*pending, body);
  if (r.status < 200 || r.status > 599) std::abort();
  return 0;
}
