#include "serve/options.h"

#include <charconv>
#include <string_view>

namespace verdane::serve {

namespace {

constexpr const char* kUsage =
    "Usage: verdane serve --store <DIR> [OPTIONS]\n"
    "\n"
    "Serve the templates of a store folder over HTTP: upload, name, decide.\n"
    "\n"
    "Options:\n"
    "      --store <DIR>               The store: <template_id>.bin files and a names.txt file\n"
    "      --listen <HOST:PORT>        Address to listen on. Defaults to 127.0.0.1:8181; port 0\n"
    "                                  picks a free port\n"
    "      --threads <N>               Threads serving requests (1 to 256). Defaults to 2\n"
    "      --token-file <FILE>         Bearer tokens, one a line, that /v1 requests must carry\n"
    "      --admin-token-file <FILE>   The only tokens that may upload, delete and move names\n"
    "      --tls-cert <FILE>           Serve HTTPS with this PEM certificate chain\n"
    "      --tls-key <FILE>            The PEM private key of --tls-cert\n"
    "      --read-only                 Serve a store that something else maintains; writes get "
    "403\n"
    "      --max-body <BYTES>          Largest request body, and batch line. Defaults to 1048576\n"
    "      --max-header <BYTES>        Largest request header. Defaults to 16384\n"
    "      --max-connections <N>       Open connections; beyond it new ones get 503. Defaults to "
    "10000\n"
    "      --request-timeout <SECONDS> Time to receive one request. Defaults to 10\n"
    "      --idle-timeout <SECONDS>    Time a keep-alive connection may wait idle. Defaults to 30\n"
    "      --grace <SECONDS>           Time to finish requests in flight at SIGTERM. Defaults to "
    "10\n"
    "      --decision-log <FILE>       Append one JSON line per decision to FILE, on disk before\n"
    "                                  the answer is sent\n"
    "      --decision-log-omit-inputs  Leave the intent and evidence out of the log's lines\n"
    "      --decision-log-sync <MODE>  always (fdatasync before answering) or none. Defaults to\n"
    "                                  always\n"
    "      --decision-log-queue <N>    Lines waiting for the disk, at most. Defaults to 4096\n"
    "      --decision-log-wait <SECONDS> Time a request waits for room in a full queue before\n"
    "                                  503. Defaults to 1\n"
    "      --decision-log-max-bytes <BYTES> Rotate to FILE.1, FILE.2, ... past this size\n"
    "      --decision-log-keep <N>     Rotated files kept. Defaults to 5\n"
    "  -h, --help                      Print help\n";

OptionsExit usage_error(const std::string& message) {
  return OptionsExit{2, "", "error: " + message + "\n\n" + kUsage};
}

std::optional<std::uint64_t> whole_number(std::string_view text, std::uint64_t low,
                                          std::uint64_t high) {
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < low || n > high) {
    return std::nullopt;
  }
  return n;
}

// Seconds with up to three decimals, e.g. 0.5 or 10.
std::optional<std::chrono::milliseconds> seconds(std::string_view text) {
  const std::size_t dot = text.find('.');
  auto whole = whole_number(text.substr(0, dot), 0, 86'400);
  if (!whole) return std::nullopt;
  std::uint64_t ms = *whole * 1000;
  if (dot != std::string_view::npos) {
    std::string_view fraction = text.substr(dot + 1);
    if (fraction.empty() || fraction.size() > 3) return std::nullopt;
    auto f = whole_number(fraction, 0, 999);
    if (!f) return std::nullopt;
    for (std::size_t i = fraction.size(); i < 3; ++i) *f *= 10;
    ms += *f;
  }
  return std::chrono::milliseconds(ms);
}

// HOST:PORT, the host of an IPv6 address in brackets.
bool split_listen(std::string_view text, Options& options) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon + 1 == text.size()) return false;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty() || !whole_number(text.substr(colon + 1), 0, 65535)) return false;
  options.host = std::string(host);
  options.port = std::string(text.substr(colon + 1));
  return true;
}

}  // namespace

std::variant<Options, OptionsExit> parse_options(int argc, const char* const* argv) {
  Options options;
  bool have_store = false;
  int i = 1;
  if (i < argc && std::string_view(argv[i]) == "serve") ++i;
  for (; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return OptionsExit{0, kUsage, ""};
    if (arg == "--read-only") {
      options.read_only = true;
      continue;
    }
    if (arg == "--decision-log-omit-inputs") {
      options.decision_log_omit_inputs = true;
      continue;
    }
    if (arg.substr(0, 2) != "--")
      return usage_error("unexpected argument '" + std::string(arg) + "'");
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    const std::string flag(name);
    if (!value) return usage_error("a value is required for '" + flag + "'");
    const std::string v(*value);
    const auto bad = [&] { return usage_error("invalid value '" + v + "' for '" + flag + "'"); };
    if (name == "--store") {
      if (v.empty()) return bad();
      options.store = v;
      have_store = true;
    } else if (name == "--listen") {
      if (!split_listen(v, options)) return bad();
    } else if (name == "--threads") {
      auto n = whole_number(v, 1, 256);
      if (!n) return bad();
      options.threads = static_cast<unsigned>(*n);
    } else if (name == "--token-file") {
      options.token_file = v;
    } else if (name == "--admin-token-file") {
      options.admin_token_file = v;
    } else if (name == "--tls-cert") {
      options.tls_cert = v;
    } else if (name == "--tls-key") {
      options.tls_key = v;
    } else if (name == "--max-body") {
      auto n = whole_number(v, 1, std::uint64_t{1} << 32);
      if (!n) return bad();
      options.max_body = *n;
    } else if (name == "--max-header") {
      auto n = whole_number(v, 256, 1 << 20);
      if (!n) return bad();
      options.max_header = *n;
    } else if (name == "--max-connections") {
      auto n = whole_number(v, 1, 1'000'000);
      if (!n) return bad();
      options.max_connections = *n;
    } else if (name == "--request-timeout" || name == "--idle-timeout" || name == "--grace") {
      auto s = seconds(v);
      if (!s || (name != "--grace" && s->count() == 0)) return bad();
      (name == "--grace"          ? options.grace
       : name == "--idle-timeout" ? options.idle_timeout
                                  : options.request_timeout) = *s;
    } else if (name == "--decision-log") {
      if (v.empty()) return bad();
      options.decision_log = v;
    } else if (name == "--decision-log-sync") {
      if (v != "always" && v != "none") return bad();
      options.decision_log_sync = v == "always";
    } else if (name == "--decision-log-queue") {
      auto n = whole_number(v, 1, 1'000'000);
      if (!n) return bad();
      options.decision_log_queue = *n;
    } else if (name == "--decision-log-wait") {
      auto s = seconds(v);
      if (!s) return bad();
      options.decision_log_wait = *s;
    } else if (name == "--decision-log-max-bytes") {
      auto n = whole_number(v, 1, std::uint64_t{1} << 50);
      if (!n) return bad();
      options.decision_log_max_bytes = *n;
    } else if (name == "--decision-log-keep") {
      auto n = whole_number(v, 1, 1000);
      if (!n) return bad();
      options.decision_log_keep = static_cast<unsigned>(*n);
    } else {
      return usage_error("unexpected argument '" + flag + "'");
    }
  }
  if (!have_store)
    return usage_error("the following required arguments were not provided: --store <DIR>");
  if (options.tls_cert.has_value() != options.tls_key.has_value()) {
    return usage_error("--tls-cert and --tls-key go together");
  }
  return options;
}

}  // namespace verdane::serve
