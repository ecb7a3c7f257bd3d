// The command line of verdane-serve.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace verdane::serve {

struct Options {
  std::string store;
  std::string host = "127.0.0.1";
  std::string port = "8181";
  unsigned threads = 2;
  std::optional<std::string> token_file;
  std::optional<std::string> admin_token_file;
  std::optional<std::string> tls_cert;
  std::optional<std::string> tls_key;
  bool read_only = false;
  std::size_t max_body = std::size_t{1} << 20;  // also the longest batch line
  std::size_t max_header = 16 << 10;
  std::size_t max_connections = 10'000;
  std::chrono::milliseconds request_timeout{10'000};  // to receive one request
  std::chrono::milliseconds idle_timeout{30'000};     // between keep-alive requests
  std::chrono::milliseconds grace{10'000};            // to finish requests at shutdown
  // The decision log, when given.
  std::optional<std::string> decision_log;
  bool decision_log_omit_inputs = false;
  bool decision_log_sync = true;
  std::size_t decision_log_queue = 4096;
  std::chrono::milliseconds decision_log_wait{1'000};  // for room in a full queue
  std::uint64_t decision_log_max_bytes = 0;
  unsigned decision_log_keep = 5;
};

// Help or a usage error: what to print, and the exit status.
struct OptionsExit {
  int status = 0;
  std::string out;
  std::string err;
};

// Parses argv (argv[1] may be the word `serve`, as `verdane serve` hands it on).
std::variant<Options, OptionsExit> parse_options(int argc, const char* const* argv);

}  // namespace verdane::serve
